// The analytics HTTP client's use of WinHTTP, observed through a WinHttpApi
// of the test's own that refuses every request before it is sent. And one
// request to a loopback collector that never answers.

#include "loopback_server.h"

#include "CvComn_Log.h"
#include "HttpAgent.h"
#include "HttpBase.h"
#include "WinHttpApi.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

// Records what the client asks of WinHTTP. Sessions, connections and (when
// asked to) requests come from WinHTTP itself, since their owners close them
// there; sending is always refused, so nothing ever goes out.
class ObservedWinHttp final : public WinHttpApi {
public:
    // What to refuse besides the send.
    bool bFailOpen = false;
    bool bOpenRequest = false;

    int nCalls = 0;
    DWORD dwAccessType = 0xFFFFFFFF;
    std::wstring wstrAgent, wstrProxy;
    bool bNullProxy = false;
    std::wstring wstrHost;
    INTERNET_PORT nPort = 0;
    std::wstring wstrVerb, wstrPath;
    DWORD dwFlags = 0xFFFFFFFF;
    HINTERNET hSession = nullptr, hRequest = nullptr;
    // Limits set: (handle, kind, milliseconds); kinds are the WinHTTP
    // option numbers of the time-outs.
    struct Limit {
        HINTERNET hHandle;
        DWORD dwKind;
        int nMs;
    };
    std::vector<Limit> limits;

    HINTERNET Open(LPCWSTR pszAgent, DWORD dwAccess, LPCWSTR pszProxy, LPCWSTR pszBypass,
                   DWORD dwOpenFlags) override {
        ++nCalls;
        wstrAgent = pszAgent ? pszAgent : L"";
        dwAccessType = dwAccess;
        bNullProxy = pszProxy == nullptr;
        wstrProxy = pszProxy ? pszProxy : L"";
        if (bFailOpen)
            return Refuse<HINTERNET>(ERROR_NOT_ENOUGH_MEMORY);
        hSession = m_real.Open(pszAgent, dwAccess, pszProxy, pszBypass, dwOpenFlags);
        return hSession;
    }
    BOOL SetTimeouts(HINTERNET hHandle, int nResolve, int nConnect, int nSend,
                     int nReceive) override {
        ++nCalls;
        limits.push_back({hHandle, WINHTTP_OPTION_RESOLVE_TIMEOUT, nResolve});
        limits.push_back({hHandle, WINHTTP_OPTION_CONNECT_TIMEOUT, nConnect});
        limits.push_back({hHandle, WINHTTP_OPTION_SEND_TIMEOUT, nSend});
        limits.push_back({hHandle, WINHTTP_OPTION_RECEIVE_TIMEOUT, nReceive});
        return m_real.SetTimeouts(hHandle, nResolve, nConnect, nSend, nReceive);
    }
    BOOL CrackUrl(LPCWSTR pszUrl, DWORD dwLength, DWORD dwCrackFlags,
                  LPURL_COMPONENTS pComponents) override {
        ++nCalls;
        return m_real.CrackUrl(pszUrl, dwLength, dwCrackFlags, pComponents);
    }
    HINTERNET Connect(HINTERNET hHandle, LPCWSTR pszHost, INTERNET_PORT nServerPort,
                      DWORD dwReserved) override {
        ++nCalls;
        wstrHost = pszHost ? pszHost : L"";
        nPort = nServerPort;
        return m_real.Connect(hHandle, pszHost, nServerPort, dwReserved);
    }
    HINTERNET OpenRequest(HINTERNET hConnect, LPCWSTR pszVerb, LPCWSTR pszPath, LPCWSTR pszVersion,
                          LPCWSTR pszReferrer, LPCWSTR* ppszTypes, DWORD dwOpenFlags) override {
        ++nCalls;
        wstrVerb = pszVerb ? pszVerb : L"";
        wstrPath = pszPath ? pszPath : L"";
        dwFlags = dwOpenFlags;
        if (!bOpenRequest)
            return Refuse<HINTERNET>(ERROR_WINHTTP_INTERNAL_ERROR);
        hRequest = m_real.OpenRequest(hConnect, pszVerb, pszPath, pszVersion, pszReferrer,
                                      ppszTypes, dwOpenFlags);
        return hRequest;
    }
    BOOL SetOption(HINTERNET hHandle, DWORD dwOption, LPVOID pBuffer, DWORD cbBuffer) override {
        ++nCalls;
        if (pBuffer != nullptr && cbBuffer == sizeof(DWORD))
            limits.push_back({hHandle, dwOption, static_cast<int>(*static_cast<DWORD*>(pBuffer))});
        return m_real.SetOption(hHandle, dwOption, pBuffer, cbBuffer);
    }
    BOOL AddRequestHeaders(HINTERNET hHandle, LPCWSTR pszHeaders, DWORD cchHeaders,
                           DWORD dwModifiers) override {
        ++nCalls;
        return m_real.AddRequestHeaders(hHandle, pszHeaders, cchHeaders, dwModifiers);
    }
    BOOL SendRequest(HINTERNET, LPCWSTR, DWORD, LPVOID, DWORD, DWORD, DWORD_PTR) override {
        ++nCalls;
        return Refuse<BOOL>(ERROR_WINHTTP_CANNOT_CONNECT);
    }
    // Never reached once the send is refused.
    BOOL ReceiveResponse(HINTERNET, LPVOID) override { return Unreached(); }
    BOOL QueryDataAvailable(HINTERNET, LPDWORD) override { return Unreached(); }
    BOOL ReadData(HINTERNET, LPVOID, DWORD, LPDWORD) override { return Unreached(); }
    BOOL QueryHeaders(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD) override {
        return Unreached();
    }

private:
    template <typename T> T Refuse(DWORD dwError) {
        ::SetLastError(dwError);
        return T();
    }
    BOOL Unreached() {
        ++nCalls;
        ADD_FAILURE() << "a call after the refused send";
        return Refuse<BOOL>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    }

    WinHttpApi& m_real = WinHttpApi::Platform();
};

} // namespace

TEST(WinHttpObserved, AnEmptyUrlMakesNoPlatformCall) {
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

    ObservedWinHttp seen;
    HttpGetSimple http(seen);
    std::wstring wstrResponse = L"untouched";
    const int nResult = http.Get(L"", L"", &wstrResponse, nullptr);
    CvCommon::Log::g_pLogger = nullptr;

    EXPECT_EQ(nResult, kHttpEmptyUrl);
    EXPECT_EQ(seen.nCalls, 0);
    EXPECT_EQ(wstrResponse, L"untouched");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L" !!! <http> HttpGeneric::operator (): Download URL is empty!!! - "),
              std::wstring::npos)
        << lines[0];
}

TEST(WinHttpObserved, UrlSchemeAndPortReachTheConnectionAndRequest) {
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
        ObservedWinHttp seen;
        HttpGetSimple http(seen);
        std::wstring wstrResponse;
        EXPECT_EQ(http.Get(c.pszUrl, L"", &wstrResponse, nullptr), kHttpSendFailed) << c.pszUrl;
        EXPECT_EQ(seen.wstrAgent, L"CorvaneWinHttp/");
        EXPECT_EQ(seen.wstrHost, c.pszHost) << c.pszUrl;
        EXPECT_EQ(seen.nPort, c.nPort) << c.pszUrl;
        EXPECT_EQ(seen.wstrVerb, L"GET") << c.pszUrl;
        EXPECT_EQ(seen.wstrPath, c.pszPath) << c.pszUrl;
        EXPECT_EQ(seen.dwFlags, c.dwFlags) << c.pszUrl;
    }
}

TEST(WinHttpObserved, ANamedProxyOnlyWhenTheProviderAsksForIt) {
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
        ObservedWinHttp seen;
        seen.bFailOpen = true;
        HttpGetSimple http(seen);
        std::wstring wstrResponse;
        EXPECT_EQ(http.Get(L"http://collector.test/collect", L"", &wstrResponse, c.pProxy),
                  kHttpConnectFailed);
        EXPECT_EQ(seen.dwAccessType, c.dwAccessType);
        EXPECT_EQ(seen.bNullProxy, c.wstrProxy.empty());
        EXPECT_EQ(seen.wstrProxy, c.wstrProxy);
    }
}

TEST(WinHttpObserved, EveryStageOfARequestHasALimitOfAtMostFiveSeconds) {
    ObservedWinHttp seen;
    seen.bOpenRequest = true;
    HttpGetSimple http(seen);
    std::wstring wstrResponse;
    EXPECT_EQ(http.Get(L"http://collector.test/collect?v=1", L"", &wstrResponse, nullptr),
              kHttpSendFailed);
    ASSERT_NE(seen.hRequest, nullptr);

    // (handle, kind): the session's four time-outs, and the request's own
    // wait for the response headers, which the session's do not cover.
    const struct {
        HINTERNET hHandle;
        DWORD dwKind;
    } expected[] = {
        {seen.hSession, WINHTTP_OPTION_RESOLVE_TIMEOUT},
        {seen.hSession, WINHTTP_OPTION_CONNECT_TIMEOUT},
        {seen.hSession, WINHTTP_OPTION_SEND_TIMEOUT},
        {seen.hSession, WINHTTP_OPTION_RECEIVE_TIMEOUT},
        {seen.hRequest, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT},
    };
    for (const auto& e : expected) {
        bool bFound = false;
        for (const auto& limit : seen.limits) {
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
