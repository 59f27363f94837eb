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

std::wstring ErrorMessage(uint32_t dwError) {
    static const struct {
        uint32_t dwError;
        const wchar_t* pszName;
    } kErrors[] = {
        {12037, L"ERROR_WINHTTP_SECURE_CERT_DATE_INVALID"},
        {12038, L"ERROR_WINHTTP_SECURE_CERT_CN_INVALID"},
        {12044, L"ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED"},
        {12045, L"ERROR_WINHTTP_SECURE_INVALID_CA"},
        {12057, L"ERROR_WINHTTP_SECURE_CERT_REV_FAILED"},
        {12157, L"ERROR_WINHTTP_SECURE_CHANNEL_ERROR"},
        {12169, L"ERROR_WINHTTP_SECURE_INVALID_CERT"},
        {12170, L"ERROR_WINHTTP_SECURE_CERT_REVOKED"},
        {12179, L"ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE"},
    };
    for (const auto& error : kErrors) {
        if (error.dwError == dwError)
            return L"secure failure, win error " + std::to_wstring(dwError) + L" (" +
                   error.pszName + L")";
    }
    return std::wstring();
}

} // namespace SecureFailure
