#pragma once
// Owners for Win32 handles: one small template with a traits type per handle
// kind. An owner going out of scope keeps the caller's last-error value, so a
// failure code read after the close is still the one of the failing call.

#include <windows.h>

#include <utility>

namespace CvCommon {
namespace Handle {

template <typename Traits> class UniqueAny {
public:
    using pointer = typename Traits::pointer;

    UniqueAny() noexcept : m_value(Traits::Invalid()) {}
    explicit UniqueAny(pointer value) noexcept : m_value(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : m_value(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    pointer get() const noexcept { return m_value; }
    bool valid() const noexcept { return Traits::IsValid(m_value); }
    explicit operator bool() const noexcept { return valid(); }

    pointer release() noexcept { return std::exchange(m_value, Traits::Invalid()); }

    void reset(pointer value = Traits::Invalid()) noexcept {
        pointer old = std::exchange(m_value, value);
        if (Traits::IsValid(old)) {
            const DWORD lastError = ::GetLastError();
            Traits::Close(old);
            ::SetLastError(lastError);
        }
    }

    // Address for an out-parameter; anything held is released first.
    pointer* put() noexcept {
        reset();
        return &m_value;
    }

private:
    pointer m_value;
};

// Kernel objects: null and INVALID_HANDLE_VALUE both mean "none".
struct KernelHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
    using pointer = HANDLE;
    static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool IsValid(pointer h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(pointer h) noexcept { ::FindClose(h); }
};

struct RegKeyTraits {
    using pointer = HKEY;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::RegCloseKey(h); }
};

struct ModuleTraits {
    using pointer = HMODULE;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::FreeLibrary(h); }
};

using UniqueHandle = UniqueAny<KernelHandleTraits>;
using UniqueFindHandle = UniqueAny<FindHandleTraits>;
using UniqueHKey = UniqueAny<RegKeyTraits>;
using UniqueModule = UniqueAny<ModuleTraits>;

} // namespace Handle
} // namespace CvCommon
