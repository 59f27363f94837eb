#pragma once
// Security attributes handed to platform calls that create objects.

#include <windows.h>

#include <string>
#include <vector>

namespace CvCommon {
namespace AccessControl {

class SecurityAttributes {
public:
    // The kind a new object has: default security, no record handed on.
    static constexpr DWORD kDefaultKind = 18;

    SecurityAttributes();
    virtual ~SecurityAttributes() = default;

    // A folder only administrators and the system may change: Administrators
    // and SYSTEM full control, Users read and execute, handed on to what is
    // made inside, and nothing inherited from the parent (protected DACL).
    static SecurityAttributes ProtectedFolder();

    // The record to pass to a platform call, or null for default security.
    // The platform prototypes take a non-const pointer, hence the mutable record.
    SECURITY_ATTRIBUTES* Get() const;

private:
    mutable SECURITY_ATTRIBUTES m_sa;
    std::vector<BYTE> m_vecDescriptor; // self-relative security descriptor
    DWORD m_dwKind;
    bool m_bInherit;
};

// True when the folder exists, is no link, is owned by Administrators, SYSTEM
// or the user running this process, and its DACL lets nobody else write,
// delete or change its security. A folder failing this is not to be used.
bool IsTrustedFolder(const std::wstring& wstrPath);

} // namespace AccessControl
} // namespace CvCommon
