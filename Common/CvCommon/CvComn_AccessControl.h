#pragma once
// Security attributes handed to platform calls that create objects.

#include <windows.h>

#include <vector>

namespace CvCommon {
namespace AccessControl {

class SecurityAttributes {
public:
    // The kind a new object has: default security, no record handed on.
    static constexpr DWORD kDefaultKind = 18;

    SecurityAttributes();
    virtual ~SecurityAttributes() = default;

    // The record to pass to a platform call, or null for default security.
    // The platform prototypes take a non-const pointer, hence the mutable record.
    SECURITY_ATTRIBUTES* Get() const;

private:
    mutable SECURITY_ATTRIBUTES m_sa;
    std::vector<BYTE> m_vecDescriptor; // self-relative security descriptor
    DWORD m_dwKind;
    bool m_bInherit;
};

} // namespace AccessControl
} // namespace CvCommon
