#pragma once

namespace CvCommon {
namespace Exception {

// Root of the library's exceptions.
class Base {
public:
    explicit Base(int nCode = 0) : m_nCode(nCode) {}
    virtual ~Base() = default;

    int m_nCode;
};

} // namespace Exception
} // namespace CvCommon
