#include "CvComn_AccessControl.h"

#include "CvComn_Handle.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

// 0x1200a9: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
constexpr wchar_t kProtectedFolderSddl[] =
    L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

// Rights that let their holder change the folder, what is in it or who may.
constexpr DWORD kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC |
                                WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool IsSid(PSID pSid, WELL_KNOWN_SID_TYPE type) {
    return ::IsWellKnownSid(pSid, type) != FALSE;
}

bool IsProcessUser(PSID pSid) {
    CvCommon::Handle::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD cb = 0;
    const bool bGot =
        ::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &cb) != FALSE;
    return bGot && ::EqualSid(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, pSid);
}

bool IsAdministration(PSID pSid) {
    return IsSid(pSid, WinBuiltinAdministratorsSid) || IsSid(pSid, WinLocalSystemSid);
}

} // namespace

namespace CvCommon {
namespace AccessControl {

SecurityAttributes::SecurityAttributes() : m_sa{}, m_dwKind(kDefaultKind), m_bInherit(false) {}

SECURITY_ATTRIBUTES* SecurityAttributes::Get() const {
    if (m_dwKind == kDefaultKind)
        return nullptr;
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor =
        m_vecDescriptor.empty() ? nullptr : const_cast<BYTE*>(m_vecDescriptor.data());
    m_sa.bInheritHandle = m_bInherit ? TRUE : FALSE;
    return &m_sa;
}

SecurityAttributes SecurityAttributes::ProtectedFolder() {
    SecurityAttributes sa;
    Handle::UniqueLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    ULONG cb = 0;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kProtectedFolderSddl, SDDL_REVISION_1, descriptor.put(), &cb))
        return sa;
    const BYTE* pBytes = static_cast<const BYTE*>(descriptor.get());
    sa.m_vecDescriptor.assign(pBytes, pBytes + cb);
    sa.m_dwKind = 0;
    return sa;
}

bool IsTrustedFolder(const std::wstring& wstrPath) {
    const DWORD dwAttributes = ::GetFileAttributesW(wstrPath.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    PSID pOwner = nullptr;
    PACL pDacl = nullptr;
    Handle::UniqueLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
    if (::GetNamedSecurityInfoW(wstrPath.c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &pOwner,
                                nullptr, &pDacl, nullptr, descriptor.put()) != ERROR_SUCCESS)
        return false;
    // No DACL at all grants everyone everything.
    bool bTrusted = pOwner && pDacl && (IsAdministration(pOwner) || IsProcessUser(pOwner));
    for (DWORD i = 0; bTrusted && i < pDacl->AceCount; ++i) {
        void* pAce = nullptr;
        if (!::GetAce(pDacl, i, &pAce)) {
            bTrusted = false;
            break;
        }
        const ACE_HEADER* pHeader = static_cast<const ACE_HEADER*>(pAce);
        if (pHeader->AceType != ACCESS_ALLOWED_ACE_TYPE || (pHeader->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const ACCESS_ALLOWED_ACE* pAllowed = static_cast<const ACCESS_ALLOWED_ACE*>(pAce);
        PSID pSid = const_cast<DWORD*>(&pAllowed->SidStart);
        if ((pAllowed->Mask & kChangeRights) && !IsAdministration(pSid) && !IsProcessUser(pSid))
            bTrusted = false;
    }
    return bTrusted;
}

} // namespace AccessControl
} // namespace CvCommon
