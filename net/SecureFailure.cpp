#include "SecureFailure.h"

#include <cwchar>

namespace SecureFailure {

namespace {

constexpr uint32_t kSecureFailureError = 12175; // ERROR_WINHTTP_SECURE_FAILURE

std::wstring Hex(uint32_t dwValue) {
    wchar_t szHex[16] = {};
    std::swprintf(szHex, sizeof(szHex) / sizeof(szHex[0]), L"0x%x", static_cast<unsigned>(dwValue));
    return szHex;
}

} // namespace

std::wstring FlagNames(uint32_t dwFlags) {
    static const struct {
        uint32_t dwFlag;
        const wchar_t* pszName;
    } kNames[] = {
        {kCertRevFailed, L"CERT_REV_FAILED"},   {kInvalidCert, L"INVALID_CERT"},
        {kCertRevoked, L"CERT_REVOKED"},        {kInvalidCa, L"INVALID_CA"},
        {kCertCnInvalid, L"CERT_CN_INVALID"},   {kCertDateInvalid, L"CERT_DATE_INVALID"},
        {kCertWrongUsage, L"CERT_WRONG_USAGE"}, {kSecurityChannelError, L"SECURITY_CHANNEL_ERROR"},
    };
    if (dwFlags == 0)
        return L"none";
    std::wstring wstrOut;
    uint32_t dwLeft = dwFlags;
    for (const auto& name : kNames) {
        if ((dwFlags & name.dwFlag) == 0)
            continue;
        if (!wstrOut.empty())
            wstrOut += L", ";
        wstrOut += name.pszName;
        dwLeft &= ~name.dwFlag;
    }
    if (dwLeft != 0)
        wstrOut += (wstrOut.empty() ? L"" : L", ") + Hex(dwLeft);
    return wstrOut;
}

std::wstring Message(uint32_t dwFlags) {
    return L"secure failure, win error " + std::to_wstring(kSecureFailureError) +
           L", certificate flags " + Hex(dwFlags) + L" (" + FlagNames(dwFlags) + L")";
}

} // namespace SecureFailure
