// The analytics HTTP client's use of WinHTTP, observed by redirecting the
// program's import slots of the WinHTTP entry points it calls. Nothing here
// touches the network: every observed request is refused before it is sent.

#include "CvComn_Log.h"
#include "HttpAgent.h"
#include "HttpBase.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <string>
#include <vector>

// The import slots through which every call of these functions goes.
extern "C" {
extern void* g_impWinHttpOpen __asm__("__imp__WinHttpOpen@20");
extern void* g_impWinHttpConnect __asm__("__imp__WinHttpConnect@16");
extern void* g_impWinHttpOpenRequest __asm__("__imp__WinHttpOpenRequest@28");
extern void* g_impWinHttpCrackUrl __asm__("__imp__WinHttpCrackUrl@16");
}

namespace {

using OpenFn = HINTERNET(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
using ConnectFn = HINTERNET(WINAPI*)(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
using OpenRequestFn = HINTERNET(WINAPI*)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*,
                                         DWORD);
using CrackUrlFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPURL_COMPONENTS);

struct Observed {
    int nCalls = 0;
    bool bFailOpen = false;
    DWORD dwAccessType = 0xFFFFFFFF;
    std::wstring wstrAgent, wstrProxy;
    bool bNullProxy = false;
    std::wstring wstrHost;
    INTERNET_PORT nPort = 0;
    std::wstring wstrVerb, wstrPath;
    DWORD dwFlags = 0xFFFFFFFF;
};
Observed g_seen;
OpenFn g_realOpen;
ConnectFn g_realConnect;
CrackUrlFn g_realCrackUrl;

HINTERNET WINAPI HookOpen(LPCWSTR pszAgent, DWORD dwAccess, LPCWSTR pszProxy, LPCWSTR pszBypass,
                          DWORD dwFlags) {
    ++g_seen.nCalls;
    g_seen.wstrAgent = pszAgent ? pszAgent : L"";
    g_seen.dwAccessType = dwAccess;
    g_seen.bNullProxy = pszProxy == nullptr;
    g_seen.wstrProxy = pszProxy ? pszProxy : L"";
    if (g_seen.bFailOpen) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return g_realOpen(pszAgent, dwAccess, pszProxy, pszBypass, dwFlags);
}

HINTERNET WINAPI HookConnect(HINTERNET hSession, LPCWSTR pszHost, INTERNET_PORT nPort,
                             DWORD dwReserved) {
    ++g_seen.nCalls;
    g_seen.wstrHost = pszHost ? pszHost : L"";
    g_seen.nPort = nPort;
    return g_realConnect(hSession, pszHost, nPort, dwReserved);
}

HINTERNET WINAPI HookOpenRequest(HINTERNET, LPCWSTR pszVerb, LPCWSTR pszPath, LPCWSTR, LPCWSTR,
                                 LPCWSTR*, DWORD dwFlags) {
    ++g_seen.nCalls;
    g_seen.wstrVerb = pszVerb ? pszVerb : L"";
    g_seen.wstrPath = pszPath ? pszPath : L"";
    g_seen.dwFlags = dwFlags;
    // Refused, so that nothing is ever sent.
    ::SetLastError(ERROR_WINHTTP_INTERNAL_ERROR);
    return nullptr;
}

BOOL WINAPI HookCrackUrl(LPCWSTR pszUrl, DWORD dwLength, DWORD dwFlags,
                         LPURL_COMPONENTS pComponents) {
    ++g_seen.nCalls;
    return g_realCrackUrl(pszUrl, dwLength, dwFlags, pComponents);
}

void Patch(void** ppSlot, void* pNew, void** ppOld) {
    DWORD dwOld = 0;
    ASSERT_TRUE(::VirtualProtect(ppSlot, sizeof(void*), PAGE_READWRITE, &dwOld));
    if (ppOld)
        *ppOld = *ppSlot;
    *ppSlot = pNew;
    ::VirtualProtect(ppSlot, sizeof(void*), dwOld, &dwOld);
}

class WinHttpObserved : public ::testing::Test {
protected:
    void SetUp() override {
        g_seen = Observed();
        Patch(&g_impWinHttpOpen, reinterpret_cast<void*>(&HookOpen),
              reinterpret_cast<void**>(&g_realOpen));
        Patch(&g_impWinHttpConnect, reinterpret_cast<void*>(&HookConnect),
              reinterpret_cast<void**>(&g_realConnect));
        Patch(&g_impWinHttpOpenRequest, reinterpret_cast<void*>(&HookOpenRequest),
              &m_pRealOpenRequest);
        Patch(&g_impWinHttpCrackUrl, reinterpret_cast<void*>(&HookCrackUrl),
              reinterpret_cast<void**>(&g_realCrackUrl));
    }
    void TearDown() override {
        Patch(&g_impWinHttpOpen, reinterpret_cast<void*>(g_realOpen), nullptr);
        Patch(&g_impWinHttpConnect, reinterpret_cast<void*>(g_realConnect), nullptr);
        Patch(&g_impWinHttpOpenRequest, m_pRealOpenRequest, nullptr);
        Patch(&g_impWinHttpCrackUrl, reinterpret_cast<void*>(g_realCrackUrl), nullptr);
    }

    void* m_pRealOpenRequest = nullptr;
};

} // namespace

TEST_F(WinHttpObserved, AnEmptyUrlMakesNoPlatformCall) {
    // Diagnostics go to the installed logger.
    CvCommon::Log::Logger logger(L"http");
    logger.SetEnabled(true);
    logger.SetFilter(1, 0xFFFFFFFF);
    std::vector<std::wstring> lines;
    logger.SetSink(
        [](void* pContext, const SYSTEMTIME*, const wchar_t* pszLine) {
            static_cast<std::vector<std::wstring>*>(pContext)->push_back(pszLine);
            return 0;
        },
        &lines);
    CvCommon::Log::g_pLogger = &logger;

    HttpGetSimple http;
    std::wstring wstrResponse = L"untouched";
    const int nResult = http.Get(L"", L"", &wstrResponse, nullptr);
    CvCommon::Log::g_pLogger = nullptr;

    EXPECT_EQ(nResult, kHttpEmptyUrl);
    EXPECT_EQ(g_seen.nCalls, 0);
    EXPECT_EQ(wstrResponse, L"untouched");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L" !!! <http> HttpGeneric::operator (): Download URL is empty!!! - "),
              std::wstring::npos)
        << lines[0];
}

TEST_F(WinHttpObserved, UrlSchemeAndPortReachTheConnectionAndRequest) {
    const struct {
        const wchar_t* pszUrl;
        const wchar_t* pszHost;
        INTERNET_PORT nPort;
        const wchar_t* pszPath;
        DWORD dwFlags;
    } cases[] = {
        {L"https://store.test/a/b?x=1&y=2#f", L"store.test", 443, L"/a/b?x=1&y=2#f",
         WINHTTP_FLAG_SECURE},
        {L"https://store.test:8443", L"store.test", 8443, L"/", WINHTTP_FLAG_SECURE},
        {L"http://collector.test/collect?v=1&t=event", L"collector.test", 80,
         L"/collect?v=1&t=event", 0},
        {L"http://collector.test:8080/", L"collector.test", 8080, L"/", 0},
    };
    for (const auto& c : cases) {
        g_seen = Observed();
        HttpGetSimple http;
        std::wstring wstrResponse;
        EXPECT_EQ(http.Get(c.pszUrl, L"", &wstrResponse, nullptr), kHttpSendFailed) << c.pszUrl;
        EXPECT_EQ(g_seen.wstrAgent, L"CorvaneWinHttp/");
        EXPECT_EQ(g_seen.wstrHost, c.pszHost) << c.pszUrl;
        EXPECT_EQ(g_seen.nPort, c.nPort) << c.pszUrl;
        EXPECT_EQ(g_seen.wstrVerb, L"GET") << c.pszUrl;
        EXPECT_EQ(g_seen.wstrPath, c.pszPath) << c.pszUrl;
        EXPECT_EQ(g_seen.dwFlags, c.dwFlags) << c.pszUrl;
    }
}

TEST_F(WinHttpObserved, ANamedProxyOnlyWhenTheProviderAsksForIt) {
    ProxyProvider named;
    named.m_bUseProxy = true;
    named.m_wstrHost = L"p";
    named.m_nPort = 8080;
    ProxyProvider off = named;
    off.m_bUseProxy = false;
    ProxyProvider longHost = named;
    longHost.m_wstrHost.assign(3000, L'h');

    const struct {
        const ProxyProvider* pProxy;
        DWORD dwAccessType;
        std::wstring wstrProxy; // empty: no proxy name at all
    } cases[] = {
        {&named, WINHTTP_ACCESS_TYPE_NAMED_PROXY, L"p:8080"},
        {nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, L""},
        {&off, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, L""},
        {&longHost, WINHTTP_ACCESS_TYPE_NAMED_PROXY, std::wstring(2047, L'h')},
    };
    for (const auto& c : cases) {
        g_seen = Observed();
        g_seen.bFailOpen = true;
        HttpGetSimple http;
        std::wstring wstrResponse;
        EXPECT_EQ(http.Get(L"http://collector.test/collect", L"", &wstrResponse, c.pProxy),
                  kHttpConnectFailed);
        EXPECT_EQ(g_seen.dwAccessType, c.dwAccessType);
        EXPECT_EQ(g_seen.bNullProxy, c.wstrProxy.empty());
        EXPECT_EQ(g_seen.wstrProxy, c.wstrProxy);
    }
}
