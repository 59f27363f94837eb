#include "PublisherCheck.h"

#include "LauncherDeployment.h"
#include "PublisherPin.h"

#include "CvComn_Handle.h"
#include "CvComn_SystemLibrary.h"
#include "NetDebug.h"

#include <wincrypt.h>
// After wincrypt.h, which it needs.
#include <softpub.h>
#include <wintrust.h>

#include <vector>

namespace {

// wintrust.dll and crypt32.dll are not KnownDLLs: both are loaded from
// System32 when a pin asks for them, never at start and never from the
// program's folder.
struct TrustFunctions {
    decltype(&::WinVerifyTrust) pfnVerify = nullptr;
    decltype(&::WTHelperProvDataFromStateData) pfnProviderData = nullptr;
    decltype(&::WTHelperGetProvSignerFromChain) pfnSigner = nullptr;
    decltype(&::WTHelperGetProvCertFromChain) pfnCertificate = nullptr;
    decltype(&::CryptHashCertificate2) pfnHash = nullptr;
};

template <typename Fn> void Bind(HMODULE hModule, const char* pszName, Fn& pfn) {
    pfn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(hModule, pszName)));
}

bool BindTrustFunctions(HMODULE hWinTrust, HMODULE hCrypt32, TrustFunctions& functions) {
    Bind(hWinTrust, "WinVerifyTrust", functions.pfnVerify);
    Bind(hWinTrust, "WTHelperProvDataFromStateData", functions.pfnProviderData);
    Bind(hWinTrust, "WTHelperGetProvSignerFromChain", functions.pfnSigner);
    Bind(hWinTrust, "WTHelperGetProvCertFromChain", functions.pfnCertificate);
    Bind(hCrypt32, "CryptHashCertificate2", functions.pfnHash);
    return functions.pfnVerify && functions.pfnProviderData && functions.pfnSigner &&
           functions.pfnCertificate && functions.pfnHash;
}

// The verification state WinVerifyTrust keeps between its verify and close
// calls; released on every path once the verify call has returned.
class TrustState {
public:
    TrustState(const TrustFunctions& functions, WINTRUST_DATA& data)
        : m_functions(functions), m_data(data) {}
    ~TrustState() {
        m_data.dwStateAction = WTD_STATEACTION_CLOSE;
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        m_functions.pfnVerify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &m_data);
    }
    TrustState(const TrustState&) = delete;
    TrustState& operator=(const TrustState&) = delete;

private:
    const TrustFunctions& m_functions;
    WINTRUST_DATA& m_data;
};

// The signer's leaf certificate as WinVerifyTrust found it, or null.
PCCERT_CONTEXT SigningCertificate(const TrustFunctions& functions, HANDLE hState) {
    CRYPT_PROVIDER_DATA* pProvider = functions.pfnProviderData(hState);
    CRYPT_PROVIDER_SGNR* pSigner =
        pProvider ? functions.pfnSigner(pProvider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* pCertificate = pSigner ? functions.pfnCertificate(pSigner, 0) : nullptr;
    if (!pCertificate || !pCertificate->pCert || !pCertificate->pCert->pbCertEncoded)
        return nullptr;
    return pCertificate->pCert;
}

bool SignedByPinned(HANDLE hFile, const std::wstring& wstrPath, const PublisherPin::PinList& pins) {
    CvCommon::Handle::UniqueModule hCrypt32(CvCommon::SystemLibrary::Load(L"crypt32.dll"));
    CvCommon::Handle::UniqueModule hWinTrust(
        hCrypt32 ? CvCommon::SystemLibrary::Load(L"wintrust.dll") : nullptr);
    TrustFunctions functions;
    if (!hWinTrust || !BindTrustFunctions(hWinTrust.get(), hCrypt32.get(), functions)) {
        NetDebug::Print(L"publisher check: wintrust.dll or crypt32.dll cannot be used, error %u",
                        static_cast<unsigned>(::GetLastError()));
        return false;
    }

    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = wstrPath.c_str();
    file.hFile = hFile;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // No revocation look-ups and no downloads while the chain is built: the
    // setup must start on a machine that reaches only the package store. The
    // pin, not a revocation list, decides which signer is accepted.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG lStatus =
        functions.pfnVerify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    TrustState state(functions, data);
    if (lStatus == TRUST_E_NOSIGNATURE) {
        NetDebug::Print(L"publisher check: the launch file has no signature (0x%08X)",
                        static_cast<unsigned>(lStatus));
        return false;
    }
    if (lStatus == TRUST_E_BAD_DIGEST) {
        NetDebug::Print(L"publisher check: bad digest 0x%08X", static_cast<unsigned>(lStatus));
        return false;
    }
    if (lStatus != ERROR_SUCCESS) {
        NetDebug::Print(L"publisher check: the signature was refused, 0x%08X",
                        static_cast<unsigned>(lStatus));
        return false;
    }

    PCCERT_CONTEXT pCertificate = SigningCertificate(functions, data.hWVTStateData);
    if (!pCertificate) {
        ::OutputDebugStringW(L"publisher check: no signing certificate");
        return false;
    }
    // The thumbprint: SHA-256 of the certificate as encoded.
    unsigned char digest[PublisherPin::kThumbprintBytes] = {};
    DWORD cbDigest = sizeof(digest);
    if (!functions.pfnHash(L"SHA256", 0, nullptr, pCertificate->pbCertEncoded,
                           pCertificate->cbCertEncoded, digest, &cbDigest) ||
        cbDigest != sizeof(digest)) {
        NetDebug::Print(L"publisher check: the signer's thumbprint cannot be made, error %u",
                        static_cast<unsigned>(::GetLastError()));
        return false;
    }
    const std::wstring wstrThumbprint = PublisherPin::ToHex(digest, sizeof(digest));
    if (!PublisherPin::IsPinned(pins, digest, sizeof(digest))) {
        NetDebug::Print(L"publisher check: signer thumbprint %ls is not pinned",
                        wstrThumbprint.c_str());
        return false;
    }
    NetDebug::Print(L"publisher check: signer thumbprint %ls is pinned", wstrThumbprint.c_str());
    return true;
}

} // namespace

std::wstring PinnedPublisherText() {
#if defined(LAUNCHER_TEST_HOOKS)
    const DWORD cch = ::GetEnvironmentVariableW(L"LAUNCHER_TEST_SETUP_PUBLISHER", nullptr, 0);
    if (cch > 1) {
        std::vector<wchar_t> vecValue(cch);
        const DWORD cchRead =
            ::GetEnvironmentVariableW(L"LAUNCHER_TEST_SETUP_PUBLISHER", vecValue.data(), cch);
        if (cchRead > 0 && cchRead < cch) {
            ::OutputDebugStringW(L"test hook: publisher pin from the environment");
            return std::wstring(vecValue.data(), cchRead);
        }
    }
#endif
    return LAUNCHER_SETUP_PUBLISHER;
}

bool PublisherAccepted(HANDLE hFile, const std::wstring& wstrPath) {
    const PublisherPin::PinList pins = PublisherPin::ParseList(PinnedPublisherText());
    if (pins.state == PublisherPin::ListState::kNone)
        return true;
    if (pins.state == PublisherPin::ListState::kMalformed) {
        ::OutputDebugStringW(L"publisher check: the pinned thumbprint list cannot be read");
        return false;
    }
    return SignedByPinned(hFile, wstrPath, pins);
}
