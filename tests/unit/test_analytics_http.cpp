// The analytics HTTP client's use of WinHTTP, observed by redirecting the
// program's import slots of the WinHTTP entry points it calls: every observed
// request is refused before it is sent. And one request to a loopback
// collector that never answers.

#include "loopback_server.h"

#include "CvComn_Log.h"
#include "HttpAgent.h"
#include "HttpBase.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <string>
#include <vector>

// The import slots through which every call of these functions goes.
extern "C" {
// The import slot's symbol: 32-bit names carry the C underscore and the
// stdcall argument size, 64-bit ones neither.
#if defined(_WIN64)
#define IMPORT_SLOT(name, bytes) "__imp_" #name
#else
#define IMPORT_SLOT(name, bytes) "__imp__" #name "@" #bytes
#endif
extern void* g_impWinHttpOpen __asm__(IMPORT_SLOT(WinHttpOpen, 20));
extern void* g_impWinHttpConnect __asm__(IMPORT_SLOT(WinHttpConnect, 16));
extern void* g_impWinHttpOpenRequest __asm__(IMPORT_SLOT(WinHttpOpenRequest, 28));
extern void* g_impWinHttpCrackUrl __asm__(IMPORT_SLOT(WinHttpCrackUrl, 16));
extern void* g_impWinHttpSetTimeouts __asm__(IMPORT_SLOT(WinHttpSetTimeouts, 20));
extern void* g_impWinHttpSetOption __asm__(IMPORT_SLOT(WinHttpSetOption, 16));
extern void* g_impWinHttpSendRequest __asm__(IMPORT_SLOT(WinHttpSendRequest, 28));
}

namespace {

using OpenFn = HINTERNET(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
using ConnectFn = HINTERNET(WINAPI*)(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
using OpenRequestFn = HINTERNET(WINAPI*)(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*,
                                         DWORD);
using CrackUrlFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPURL_COMPONENTS);
using SetTimeoutsFn = BOOL(WINAPI*)(HINTERNET, int, int, int, int);
using SetOptionFn = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, DWORD);
using SendRequestFn = BOOL(WINAPI*)(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR);

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
    // Let the request be opened (the send is refused instead).
    bool bOpenRequest = false;
    HINTERNET hSession = nullptr, hRequest = nullptr;
    // Limits set: (handle, kind, milliseconds); kinds are the WinHTTP
    // option numbers of the time-outs.
    struct Limit {
        HINTERNET hHandle;
        DWORD dwKind;
        int nMs;
    };
    std::vector<Limit> limits;
};
Observed g_seen;
OpenFn g_realOpen;
ConnectFn g_realConnect;
CrackUrlFn g_realCrackUrl;
OpenRequestFn g_realOpenRequest;
SetTimeoutsFn g_realSetTimeouts;
SetOptionFn g_realSetOption;

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
    g_seen.hSession = g_realOpen(pszAgent, dwAccess, pszProxy, pszBypass, dwFlags);
    return g_seen.hSession;
}

HINTERNET WINAPI HookConnect(HINTERNET hSession, LPCWSTR pszHost, INTERNET_PORT nPort,
                             DWORD dwReserved) {
    ++g_seen.nCalls;
    g_seen.wstrHost = pszHost ? pszHost : L"";
    g_seen.nPort = nPort;
    return g_realConnect(hSession, pszHost, nPort, dwReserved);
}

HINTERNET WINAPI HookOpenRequest(HINTERNET hConnect, LPCWSTR pszVerb, LPCWSTR pszPath,
                                 LPCWSTR pszVersion, LPCWSTR pszReferrer, LPCWSTR* ppszTypes,
                                 DWORD dwFlags) {
    ++g_seen.nCalls;
    g_seen.wstrVerb = pszVerb ? pszVerb : L"";
    g_seen.wstrPath = pszPath ? pszPath : L"";
    g_seen.dwFlags = dwFlags;
    if (g_seen.bOpenRequest) {
        g_seen.hRequest = g_realOpenRequest(hConnect, pszVerb, pszPath, pszVersion, pszReferrer,
                                            ppszTypes, dwFlags);
        return g_seen.hRequest;
    }
    // Refused, so that nothing is ever sent.
    ::SetLastError(ERROR_WINHTTP_INTERNAL_ERROR);
    return nullptr;
}

BOOL WINAPI HookSetTimeouts(HINTERNET hHandle, int nResolve, int nConnect, int nSend,
                            int nReceive) {
    g_seen.limits.push_back({hHandle, WINHTTP_OPTION_RESOLVE_TIMEOUT, nResolve});
    g_seen.limits.push_back({hHandle, WINHTTP_OPTION_CONNECT_TIMEOUT, nConnect});
    g_seen.limits.push_back({hHandle, WINHTTP_OPTION_SEND_TIMEOUT, nSend});
    g_seen.limits.push_back({hHandle, WINHTTP_OPTION_RECEIVE_TIMEOUT, nReceive});
    return g_realSetTimeouts(hHandle, nResolve, nConnect, nSend, nReceive);
}

BOOL WINAPI HookSetOption(HINTERNET hHandle, DWORD dwOption, LPVOID pBuffer, DWORD cbBuffer) {
    if (pBuffer != nullptr && cbBuffer == sizeof(DWORD))
        g_seen.limits.push_back(
            {hHandle, dwOption, static_cast<int>(*static_cast<DWORD*>(pBuffer))});
    return g_realSetOption(hHandle, dwOption, pBuffer, cbBuffer);
}

BOOL WINAPI HookSendRequest(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) {
    // Refused, so that nothing is ever sent.
    ::SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
    return FALSE;
}

BOOL WINAPI HookCrackUrl(LPCWSTR pszUrl, DWORD dwLength, DWORD dwFlags,
                         LPURL_COMPONENTS pComponents) {
    ++g_seen.nCalls;
    return g_realCrackUrl(pszUrl, dwLength, dwFlags, pComponents);
}

// winhttp may be bound late: then a slot first holds a binding thunk, which
// writes the real entry point into the slot, over the hook. So the hooks call
// the real entry points, looked up by name, and never the thunk.
void* RealEntry(void** ppSlot) {
    struct Named {
        void** ppSlot;
        const char* pszName;
    };
    static const Named s_names[] = {
        {&g_impWinHttpOpen, "WinHttpOpen"},
        {&g_impWinHttpConnect, "WinHttpConnect"},
        {&g_impWinHttpOpenRequest, "WinHttpOpenRequest"},
        {&g_impWinHttpCrackUrl, "WinHttpCrackUrl"},
        {&g_impWinHttpSetTimeouts, "WinHttpSetTimeouts"},
        {&g_impWinHttpSetOption, "WinHttpSetOption"},
        {&g_impWinHttpSendRequest, "WinHttpSendRequest"},
    };
    HMODULE hWinHttp = ::LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    for (const Named& named : s_names)
        if (named.ppSlot == ppSlot && hWinHttp)
            return reinterpret_cast<void*>(::GetProcAddress(hWinHttp, named.pszName));
    return nullptr;
}

void Patch(void** ppSlot, void* pNew, void** ppOld) {
    DWORD dwOld = 0;
    ASSERT_TRUE(::VirtualProtect(ppSlot, sizeof(void*), PAGE_READWRITE, &dwOld));
    if (ppOld) {
        *ppOld = RealEntry(ppSlot);
        ASSERT_NE(nullptr, *ppOld);
    }
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
              reinterpret_cast<void**>(&g_realOpenRequest));
        Patch(&g_impWinHttpCrackUrl, reinterpret_cast<void*>(&HookCrackUrl),
              reinterpret_cast<void**>(&g_realCrackUrl));
        Patch(&g_impWinHttpSetTimeouts, reinterpret_cast<void*>(&HookSetTimeouts),
              reinterpret_cast<void**>(&g_realSetTimeouts));
        Patch(&g_impWinHttpSetOption, reinterpret_cast<void*>(&HookSetOption),
              reinterpret_cast<void**>(&g_realSetOption));
        Patch(&g_impWinHttpSendRequest, reinterpret_cast<void*>(&HookSendRequest),
              &m_pRealSendRequest);
    }
    void TearDown() override {
        Patch(&g_impWinHttpOpen, reinterpret_cast<void*>(g_realOpen), nullptr);
        Patch(&g_impWinHttpConnect, reinterpret_cast<void*>(g_realConnect), nullptr);
        Patch(&g_impWinHttpOpenRequest, reinterpret_cast<void*>(g_realOpenRequest), nullptr);
        Patch(&g_impWinHttpCrackUrl, reinterpret_cast<void*>(g_realCrackUrl), nullptr);
        Patch(&g_impWinHttpSetTimeouts, reinterpret_cast<void*>(g_realSetTimeouts), nullptr);
        Patch(&g_impWinHttpSetOption, reinterpret_cast<void*>(g_realSetOption), nullptr);
        Patch(&g_impWinHttpSendRequest, m_pRealSendRequest, nullptr);
    }

    void* m_pRealSendRequest = nullptr;
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

TEST_F(WinHttpObserved, EveryStageOfARequestHasALimitOfAtMostFiveSeconds) {
    g_seen.bOpenRequest = true;
    HttpGetSimple http;
    std::wstring wstrResponse;
    EXPECT_EQ(http.Get(L"http://collector.test/collect?v=1", L"", &wstrResponse, nullptr),
              kHttpSendFailed);
    ASSERT_NE(g_seen.hRequest, nullptr);

    // (handle, kind): the session's four time-outs, and the request's own
    // wait for the response headers, which the session's do not cover.
    const struct {
        HINTERNET hHandle;
        DWORD dwKind;
    } expected[] = {
        {g_seen.hSession, WINHTTP_OPTION_RESOLVE_TIMEOUT},
        {g_seen.hSession, WINHTTP_OPTION_CONNECT_TIMEOUT},
        {g_seen.hSession, WINHTTP_OPTION_SEND_TIMEOUT},
        {g_seen.hSession, WINHTTP_OPTION_RECEIVE_TIMEOUT},
        {g_seen.hRequest, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT},
    };
    for (const auto& e : expected) {
        bool bFound = false;
        for (const auto& limit : g_seen.limits) {
            if (limit.hHandle != e.hHandle || limit.dwKind != e.dwKind)
                continue;
            bFound = true;
            EXPECT_GT(limit.nMs, 0) << e.dwKind;
            EXPECT_LE(limit.nMs, 5000) << e.dwKind;
        }
        EXPECT_TRUE(bFound) << "no limit of kind " << e.dwKind;
    }
}

TEST(AnalyticsHttp, ARequestTheCollectorNeverAnswersEndsWithinItsLimit) {
    LoopbackServer server(
        [](LoopbackServer&, const std::string&) { return LoopbackServer::Reply::Hold; });
    ASSERT_TRUE(server.Listening());
    HttpGetSimple http;
    std::wstring wstrResponse;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(http.Get(L"http://" + server.Host() + L"/collect?v=1", L"", &wstrResponse, nullptr),
              kHttpSendFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(server.RequestCount(), 1u);
}
