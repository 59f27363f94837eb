#include <winsock2.h>
#include <ws2tcpip.h>

#include "ProxySettings.h"
#include "CvComn_SystemLibrary.h"

#include "NetDebug.h"
#include "NetParse.h"
#include "WinHttpHandle.h"

#include "CvComn_Handle.h"
#include "Util_String.h"

#include <urlmon.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>

namespace {

// The script host's helper table: four resolver helpers and five extended
// slots, which stay empty.
struct ScriptHelperTable {
    BOOL(WINAPI* pfnIsResolvable)(LPSTR);
    DWORD(WINAPI* pfnGetIPAddress)(LPSTR, LPDWORD);
    DWORD(WINAPI* pfnResolveHostName)(LPSTR, LPSTR, LPDWORD);
    BOOL(WINAPI* pfnIsInNet)(LPSTR, LPSTR, LPSTR);
    void* pExtended[5];
};

struct ScriptHelpers {
    const ScriptHelperTable* pTable;
};

typedef BOOL(CALLBACK* InitializeAutoProxyDllFn)(DWORD, LPSTR, LPSTR, ScriptHelpers*, void*);
typedef BOOL(CALLBACK* DeInitializeAutoProxyDllFn)(LPSTR, DWORD);
typedef BOOL(CALLBACK* GetProxyInfoFn)(LPCSTR, DWORD, LPSTR, DWORD, LPSTR*, LPDWORD);

constexpr DWORD kErrorNameNotResolved = 12007; // ERROR_WINHTTP_NAME_NOT_RESOLVED
constexpr DWORD kErrorInternal = 12004;        // ERROR_WINHTTP_INTERNAL_ERROR
constexpr DWORD kOutOfMemory = 8;

using CvCommon::Handle::UniqueGlobalText;

const wchar_t* ProxyErrorName(DWORD dwError) {
    switch (dwError) {
    case 12005:
        return L"ERROR_WINHTTP_INVALID_URL";
    case 12006:
        return L"ERROR_WINHTTP_UNRECOGNIZED_SCHEME";
    case 12015:
        return L"ERROR_WINHTTP_LOGIN_FAILURE";
    case 12018:
        return L"ERROR_WINHTTP_INCORRECT_HANDLE_TYPE";
    case 12166:
        return L"ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT";
    case 12167:
        return L"ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT";
    case 12180:
        return L"ERROR_WINHTTP_AUTODETECTION_FAILED";
    default:
        return nullptr;
    }
}

} // namespace

ProxySettings& ProxySettings::Instance() {
    // Lives until the process ends.
    static ProxySettings* s_pInstance = new ProxySettings();
    return *s_pInstance;
}

DWORD ProxySettings::Discover(const std::wstring& wstrUrl) {
    m_bProxyFound = false;
    wchar_t szProxy[kProxyTextBuffer] = {};
    FindProxyForUrl(wstrUrl.c_str(), szProxy, kProxyTextBuffer);
    return UseProxyText(szProxy);
}

DWORD ProxySettings::UseProxyText(const std::wstring& wstrText) {
    m_bProxyFound = false;
    std::vector<NetParse::ProxyCandidate> vecCandidates = NetParse::ParseProxyList(wstrText);
    if (vecCandidates.empty() && !wstrText.empty())
        NetDebug::PrintLong(L"Proxy text names no usable proxy: %ls", wstrText.c_str());
    if (m_candidates.Use(std::move(vecCandidates)))
        NetDebug::Print(L"Every proxy candidate failed before; starting over with %ls",
                        NetParse::CandidateName(*m_candidates.Current()).c_str());
    return SelectCurrent();
}

DWORD ProxySettings::SelectCurrent() {
    m_bProxyFound = m_candidates.UsingProxy();
    if (!m_bProxyFound)
        return ERROR_INVALID_DATA;
    m_wstrProxyServer = m_candidates.Current()->wstrHost;
    m_nProxyPort = m_candidates.Current()->nPort;
    return 0;
}

bool ProxySettings::FailOver() {
    if (m_candidates.Current() == nullptr)
        return false;
    const std::wstring wstrFailed = NetParse::CandidateName(*m_candidates.Current());
    if (!m_candidates.FailOver()) {
        NetDebug::Print(L"Proxy failover: %ls failed, no candidate left", wstrFailed.c_str());
        return false;
    }
    NetDebug::Print(L"Proxy failover: %ls failed, next %ls", wstrFailed.c_str(),
                    NetParse::CandidateName(*m_candidates.Current()).c_str());
    SelectCurrent();
    return true;
}

bool ProxySettings::UsingProxy() const {
    return m_candidates.UsingProxy();
}

bool ProxySettings::FindProxyForUrl(const wchar_t* pszUrl, wchar_t* pszOut, size_t cchOut) {
    if (pszUrl == nullptr || pszUrl[0] == L'\0')
        return false;
    UniqueWinHttpHandle hSession(::WinHttpOpen(L"IECFG", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                               WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!hSession)
        return false;

    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    // A failure leaves the record zeroed: nothing configured.
    ::WinHttpGetIEProxyConfigForCurrentUser(&config);
    const UniqueGlobalText autoConfigUrl(config.lpszAutoConfigUrl);
    const UniqueGlobalText proxyText(config.lpszProxy);
    const UniqueGlobalText bypassText(config.lpszProxyBypass);
    NetDebug::PrintLong(L"IE Proxy Auto Detect: %d\r\n IE Proxy Auto Config: %ls\r\n IE Proxy "
                        L"Server: %ls\r\n IE Proxy By Pass: %ls\r\n",
                        config.fAutoDetect, config.lpszAutoConfigUrl, config.lpszProxy,
                        config.lpszProxyBypass);

    std::wstring wstrFound;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    std::string strScriptFile;
    bool bAsk = true;
    const bool bScriptUrl = config.lpszAutoConfigUrl && config.lpszAutoConfigUrl[0];
    if (config.lpszProxy && config.lpszProxy[0]) {
        wstrFound = config.lpszProxy;
        bAsk = false;
    } else if (bScriptUrl) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL | WINHTTP_AUTOPROXY_RUN_INPROCESS;
        options.lpszAutoConfigUrl = config.lpszAutoConfigUrl;
        if (std::wcsstr(config.lpszAutoConfigUrl, L"file://"))
            Util::WideToMultiByte(config.lpszAutoConfigUrl, strScriptFile, CP_ACP);
    } else if (config.fAutoDetect) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_RUN_INPROCESS;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        bAsk = false;
    }
    options.fAutoLogonIfChallenged = TRUE;

    if (bAsk && !strScriptFile.empty()) {
        std::string strUrl;
        Util::WideToMultiByte(pszUrl, strUrl, CP_ACP);
        char szAnswer[kScriptAnswerSize + 1] = {};
        if (QueryAutoProxyDll(strUrl, strScriptFile, szAnswer, kScriptAnswerSize) == 0 &&
            !NetParse::IsDirectAnswer(szAnswer)) {
            std::wstring wstrAnswer;
            Util::MultiByteToWide(szAnswer, wstrAnswer, CP_ACP);
            wstrFound = wstrAnswer.substr(0, kScriptAnswerSize);
            bAsk = false;
        }
    }

    if (bAsk) {
        int nRetries = 3;
        for (;;) {
            WINHTTP_PROXY_INFO info = {};
            if (!::WinHttpGetProxyForUrl(hSession.get(), pszUrl, &options, &info)) {
                const DWORD dwError = ::GetLastError();
                const wchar_t* pszName = ProxyErrorName(dwError);
                if (pszName)
                    NetDebug::PrintLong(L"%ls", pszName);
                else
                    NetDebug::PrintLong(L"WinHttpGetProxyForUrl() Error %d",
                                        static_cast<int>(dwError));
                break;
            }
            // Freed at the end of each attempt, a retry's included.
            const UniqueGlobalText infoProxy(info.lpszProxy);
            const UniqueGlobalText infoBypass(info.lpszProxyBypass);
            if (bScriptUrl && info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY && nRetries > 0) {
                --nRetries;
                NetDebug::PrintLong(L"Retry %d to get PAC proxy", 3 - nRetries);
                continue;
            }
            NetDebug::PrintLong(L"ProxyInfo.dwAccessType: %d\r\n ProxyInfo.lpszProxy: %ls\r\n "
                                L"ProxyInfo.lpszProxyBypass: %ls\r\n",
                                static_cast<int>(info.dwAccessType), info.lpszProxy,
                                info.lpszProxyBypass);
            if ((info.dwAccessType == WINHTTP_ACCESS_TYPE_DEFAULT_PROXY ||
                 info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) &&
                info.lpszProxy)
                wstrFound = info.lpszProxy;
            break;
        }
    }

    if (cchOut == 0 || pszOut == nullptr)
        return true;
    if (wstrFound.size() >= cchOut) {
        NetDebug::PrintLong(L"Proxy text of %u characters is too long; going direct",
                            static_cast<unsigned>(wstrFound.size()));
        pszOut[0] = L'\0';
        return true;
    }
    std::wmemcpy(pszOut, wstrFound.c_str(), wstrFound.size() + 1);
    return true;
}

int ProxySettings::QueryAutoProxyDll(std::string strUrl, std::string strScriptUrl, char* pszAnswer,
                                     DWORD cbAnswer) {
    if (pszAnswer == nullptr || cbAnswer == 0)
        return -1;
    if (strUrl.size() >= kScriptUrlBuffer) {
        NetDebug::Print(L"URL too long for the proxy script");
        return -1;
    }
    std::string strHost;
    if (!NetParse::ScriptHostOfUrl(strUrl, strHost)) {
        NetDebug::Print(L"Host name too long for the proxy script");
        return -1;
    }

    WSADATA wsaData;
    if (::WSAStartup(0x0102, &wsaData) != 0)
        return -1;

    static const ScriptHelperTable kTable = {&ProxySettings::IsResolvable,
                                             &ProxySettings::GetIPAddress,
                                             &ProxySettings::ResolveHostName,
                                             &ProxySettings::IsInNet,
                                             {}};
    ScriptHelpers helpers = {&kTable};

    CvCommon::Handle::UniqueModule hScriptHost(CvCommon::SystemLibrary::Load(L"jsproxy.dll"));
    if (!hScriptHost)
        return -1;
    auto pfnInitialize = reinterpret_cast<InitializeAutoProxyDllFn>(reinterpret_cast<void*>(
        ::GetProcAddress(hScriptHost.get(), "InternetInitializeAutoProxyDll")));
    auto pfnDeInitialize = reinterpret_cast<DeInitializeAutoProxyDllFn>(reinterpret_cast<void*>(
        ::GetProcAddress(hScriptHost.get(), "InternetDeInitializeAutoProxyDll")));
    auto pfnGetProxyInfo = reinterpret_cast<GetProxyInfoFn>(
        reinterpret_cast<void*>(::GetProcAddress(hScriptHost.get(), "InternetGetProxyInfo")));
    if (!pfnInitialize || !pfnDeInitialize || !pfnGetProxyInfo)
        return -1;

    char szTempPath[MAX_PATH + 1] = {};
    const DWORD cchTempPath = ::GetTempPathA(MAX_PATH, szTempPath);
    if (cchTempPath == 0 || cchTempPath >= MAX_PATH)
        return -1;
    char szScriptFile[MAX_PATH + 1] = {};
    if (::GetTempFileNameA(szTempPath, "", 0, szScriptFile) == 0)
        return -1;
    const CvCommon::Handle::UniqueTemporaryFileA scriptFile(szScriptFile);

    // A failed download leaves the file empty, and the script host refuses it.
    ::URLDownloadToFileA(nullptr, strScriptUrl.c_str(), szScriptFile, 0, nullptr);

    if (!pfnInitialize(0, szScriptFile, nullptr, &helpers, nullptr))
        return -1;

    char szUrl[kScriptUrlBuffer] = {};
    std::memcpy(szUrl, strUrl.c_str(), strUrl.size());
    char szHost[NetParse::kMaxScriptHostLength + 1] = {};
    std::memcpy(szHost, strHost.c_str(), strHost.size());

    char szReply[kScriptAnswerSize + 1] = {};
    LPSTR pszReply = szReply;
    DWORD cbReply = sizeof(szReply);
    const BOOL bGot = pfnGetProxyInfo(szUrl, static_cast<DWORD>(strUrl.size()), szHost,
                                      static_cast<DWORD>(strHost.size()), &pszReply, &cbReply);
    int nResult = -1;
    if (bGot && pszReply != nullptr) {
        // The script host may answer in a block of its own, allocated with
        // GlobalAlloc and sized cbReply.
        const CvCommon::Handle::UniqueGlobalMemory<LPSTR> ownReply(pszReply != szReply ? pszReply
                                                                                       : nullptr);
        const size_t cbLimit = pszReply == szReply ? sizeof(szReply) : cbReply;
        const size_t nLength = strnlen(pszReply, cbLimit);
        if (nLength < cbAnswer && nLength < cbLimit) {
            std::memcpy(pszAnswer, pszReply, nLength);
            pszAnswer[nLength] = '\0';
            nResult = 0;
        } else {
            NetDebug::Print(L"Proxy script answer too long");
        }
    }
    const BOOL bDeInitialized = pfnDeInitialize(nullptr, 0);
    return (nResult == 0 && bDeInitialized) ? 0 : -1;
}

DWORD WINAPI ProxySettings::ResolveHostName(LPSTR pszHost, LPSTR pszOut, LPDWORD pcbOut) {
    if (pszHost == nullptr || pcbOut == nullptr)
        return ERROR_INVALID_PARAMETER;
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* pResult = nullptr;
    int nError = ::getaddrinfo(pszHost, nullptr, &hints, &pResult);
    if (nError == 0) {
        // Already a numeric address: handed back as it is.
        ::freeaddrinfo(pResult);
        const size_t cbNeeded = std::strlen(pszHost) + 1;
        if (pszOut == nullptr || *pcbOut < cbNeeded) {
            *pcbOut = static_cast<DWORD>(cbNeeded);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        std::memcpy(pszOut, pszHost, cbNeeded);
        return 0;
    }
    if (nError != WSAHOST_NOT_FOUND)
        return nError == kOutOfMemory ? kOutOfMemory : kErrorNameNotResolved;

    hints.ai_flags = 0;
    nError = ::getaddrinfo(pszHost, nullptr, &hints, &pResult);
    if (nError != 0)
        return nError == kOutOfMemory ? kOutOfMemory : kErrorNameNotResolved;
    const addrinfo* pIPv4 = pResult;
    while (pIPv4 != nullptr && pIPv4->ai_family != AF_INET)
        pIPv4 = pIPv4->ai_next;
    DWORD dwResult = kErrorNameNotResolved;
    if (pIPv4 != nullptr && pszOut != nullptr &&
        ::getnameinfo(pIPv4->ai_addr, static_cast<socklen_t>(pIPv4->ai_addrlen), pszOut, *pcbOut,
                      nullptr, 0, NI_NUMERICHOST) == 0)
        dwResult = 0;
    ::freeaddrinfo(pResult);
    return dwResult;
}

BOOL WINAPI ProxySettings::IsResolvable(LPSTR pszHost) {
    char szAddress[256] = {};
    DWORD cbAddress = 254;
    return ResolveHostName(pszHost, szAddress, &cbAddress) == 0;
}

DWORD WINAPI ProxySettings::GetIPAddress(LPSTR pszOut, LPDWORD pcbOut) {
    char szName[256] = {};
    if (::gethostname(szName, 254) != 0)
        return kErrorInternal;
    return ResolveHostName(szName, pszOut, pcbOut);
}

BOOL WINAPI ProxySettings::IsInNet(LPSTR pszAddress, LPSTR pszNetwork, LPSTR pszMask) {
    if (pszAddress == nullptr || pszNetwork == nullptr || pszMask == nullptr)
        return FALSE;
    const unsigned long ulAddress = ::inet_addr(pszAddress);
    const unsigned long ulNetwork = ::inet_addr(pszNetwork);
    const unsigned long ulMask = ::inet_addr(pszMask);
    if (ulAddress == INADDR_NONE || ulNetwork == INADDR_NONE)
        return FALSE;
    return ulNetwork == (ulAddress & ulMask);
}
