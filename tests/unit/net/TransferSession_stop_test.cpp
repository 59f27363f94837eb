// How a transfer ends early: the stop request, the overall bound and its
// product default, and progress receivers that call back into the session.
#include <winsock2.h>

#include "NetRequest.h"
#include "TransferSession.h"
#include "net_loopback_server.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using CvCommon::Synchronize::CancelSignal;
using nettest::Head;
using nettest::LoopbackServer;
using nettest::Script;

constexpr const wchar_t* kWaitVariable = L"LAUNCHER_TEST_WAIT_MS";
// Bound of the requests that a stop request should end long before.
constexpr DWORD kLongWaitMs = 60000;

double Milliseconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 / frequency.QuadPart;
}

LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now;
}

// Signalled once, waited for with a bound.
class Flag {
public:
    Flag() : m_hEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    void Set() { ::SetEvent(m_hEvent.get()); }
    bool WaitFor(DWORD dwMs) {
        return ::WaitForSingleObject(m_hEvent.get(), dwMs) == WAIT_OBJECT_0;
    }

private:
    CvCommon::Handle::UniqueHandle m_hEvent;
};

class NetStop : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(0x0202, &data), 0);
        ::SetEnvironmentVariableW(kWaitVariable, nullptr);
        ::SetEnvironmentVariableW(L"LAUNCHER_TEST_BACKOFF_UNIT_MS", nullptr);
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(kWaitVariable, nullptr);
        ::SetEnvironmentVariableW(L"LAUNCHER_TEST_BACKOFF_UNIT_MS", nullptr);
        ::WSACleanup();
    }
};

TEST_F(NetStop, ProductDefaultsAreTheDocumentedBounds) {
    // What every caller gets that names no limits: the bound of the whole
    // request is five minutes, each WinHTTP time-out 75 s, and no stop.
    const TransferLimits limits[] = {TransferLimits(), DefaultTransferLimits(),
                                     TransferSession().Limits()};
    for (const TransferLimits& l : limits) {
        EXPECT_EQ(l.dwWaitMs, 300000u);
        EXPECT_EQ(l.dwStackTimeoutMs, 75000u);
        EXPECT_EQ(l.pCancel, nullptr);
        EXPECT_EQ(l.dwBackoffUnitMs, 1000u);
    }

    // The test hook exists only in builds made for tests, and only takes a
    // plain count that shortens the bound.
    struct Case {
        const wchar_t* pszValue;
        DWORD dwWithHooks;
    };
    const Case cases[] = {
        {L"900", 900},  {L"300000", 300000}, {L"300001", 300000},
        {L"0", 300000}, {L"-1", 300000},     {L"12 ", 300000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszValue);
        ::SetEnvironmentVariableW(kWaitVariable, c.pszValue);
        const DWORD dwExpected = NET_TEST_HOOKS_BUILT ? c.dwWithHooks : 300000;
        EXPECT_EQ(DefaultTransferLimits().dwWaitMs, dwExpected);
        EXPECT_EQ(TransferSession().Limits().dwWaitMs, dwExpected);
        EXPECT_EQ(TransferLimits().dwWaitMs, 300000u);
    }
}

TEST_F(NetStop, DefaultLimitsOfTheOperationsTakeTheTestHook) {
    if (!NET_TEST_HOOKS_BUILT)
        GTEST_SKIP() << "built without LAUNCHER_TEST_HOOKS";
    // Neither operation is given limits: the bound comes from the hook.
    LoopbackServer server(Script{});
    ::SetEnvironmentVariableW(kWaitVariable, L"700");
    // Without the second hook the retries would wait about 7 s.
    ::SetEnvironmentVariableW(L"LAUNCHER_TEST_BACKOFF_UNIT_MS", L"1");
    EXPECT_EQ(DefaultTransferLimits().dwBackoffUnitMs, 1u);
    testsupport::ScratchFolder folder;
    std::wstring wstrPath = folder.Path();
    EXPECT_EQ(DownloadFile(server.Url(L"/pkg.exe"), wstrPath, nullptr, L"exe"),
              Result::FromPlatformError(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_EQ(wstrPath, folder.Path());
    std::string strOut = "untouched";
    EXPECT_EQ(
        SubmitRequest(server.Url(L"/ask"), std::string(), strOut, false, nullptr, std::wstring()),
        Result::FromPlatformError(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_EQ(strOut, "untouched");
}

TEST_F(NetStop, WaitEndsAtTheRequestsEndTheStopOrTheBound) {
    struct Case {
        const char* pszName;
        bool bDone;
        bool bStop;
        bool bWithSignal;
        DWORD dwExpected;
    };
    const Case cases[] = {
        {"done", true, false, true, 0},
        {"done, nobody can stop", true, false, false, 0},
        {"stopped", false, true, true, ERROR_CANCELLED},
        {"stopped as the request ended", true, true, true, ERROR_CANCELLED},
        {"neither", false, false, true, ERROR_WINHTTP_CANNOT_CONNECT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CvCommon::Handle::UniqueHandle hDone(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        CancelSignal stop;
        if (c.bDone)
            ::SetEvent(hDone.get());
        if (c.bStop)
            stop.Set();
        TransferLimits limits;
        limits.dwWaitMs = 200;
        limits.pCancel = c.bWithSignal ? &stop : nullptr;
        EXPECT_EQ(WaitForTransfer(hDone.get(), limits), c.dwExpected);
    }
}

// A request whose stop request another thread sets once the test's trigger
// fired; reports the time from the stop to the return of Get.
struct StoppedRun {
    DWORD dwResult = 0;
    DWORD dwStatus = 0;
    double dStopToReturnMs = -1;
    int nReportsAtReturn = 0;
    int nReportsLater = 0;
};

StoppedRun RunAndStop(LoopbackServer& server, const std::function<bool(DWORD)>& trigger) {
    StoppedRun run;
    CancelSignal stop;
    TransferLimits limits;
    limits.dwWaitMs = kLongWaitMs;
    limits.pCancel = &stop;
    // Shared with the receiver, which must not outlive what it touches.
    auto reports = std::make_shared<std::atomic<int>>(0);
    std::atomic<LONGLONG> llStoppedAt{0};
    {
        TransferSession session(limits);
        if (session.Open(server.Url(L"/stop.exe")) != 0)
            return run;
        session.SetProgressCallback([reports](DWORD) { ++*reports; });
        std::thread stopper([&] {
            // Bounded: a trigger that never fires still stops the request.
            for (int i = 0; i < 500 && !trigger(static_cast<DWORD>(reports->load())); ++i)
                ::Sleep(10);
            llStoppedAt = Now().QuadPart;
            stop.Set();
        });
        run.dwResult = session.Get();
        const LARGE_INTEGER returned = Now();
        run.nReportsAtReturn = reports->load();
        stopper.join();
        LARGE_INTEGER stopped;
        stopped.QuadPart = llStoppedAt.load();
        run.dStopToReturnMs = Milliseconds(stopped, returned);
        run.dwStatus = session.StatusCode();
    }
    ::Sleep(300);
    run.nReportsLater = reports->load() - run.nReportsAtReturn;
    return run;
}

TEST_F(NetStop, StopEndsTheRequestAtOnce) {
    struct Case {
        const char* pszName;
        Script script;
        // When the stop request is set, given the reports so far.
        std::function<bool(DWORD)> trigger;
        DWORD dwStatus;
    };
    const std::string strBody(1000000, 'b');
    LoopbackServer* pCurrent = nullptr;
    const Case cases[] = {
        {"server stalls", Script{}, [&](DWORD) { return pCurrent->Requests() > 0; }, 0},
        {"body streaming",
         {Head(strBody.size()), strBody, 16384, 1024, 20},
         [](DWORD dwReports) { return dwReports >= 3; },
         200},
        {"body held back",
         {Head(strBody.size()), strBody, 16384},
         [](DWORD dwReports) { return dwReports >= 1; },
         200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        LoopbackServer server(c.script);
        pCurrent = &server;
        const StoppedRun run = RunAndStop(server, c.trigger);
        std::printf("[ measured ] %s: stop to return %.1f ms\n", c.pszName, run.dStopToReturnMs);
        EXPECT_EQ(run.dwResult, static_cast<DWORD>(ERROR_CANCELLED));
        EXPECT_EQ(run.dwStatus, c.dwStatus);
        EXPECT_GE(run.dStopToReturnMs, 0.0);
        // At once: a small share of the bound that would have ended it.
        EXPECT_LT(run.dStopToReturnMs, kLongWaitMs / 20.0);
        EXPECT_EQ(run.nReportsLater, 0);
        EXPECT_EQ(server.Requests(), 1);
    }

    // Set before the request: nothing goes out.
    LoopbackServer server({Head(5), "early"});
    CancelSignal stop;
    stop.Set();
    TransferLimits limits;
    limits.pCancel = &stop;
    TransferSession session(limits);
    ASSERT_EQ(session.Open(server.Url(L"/early.exe")), 0u);
    EXPECT_EQ(session.Get(), static_cast<DWORD>(ERROR_CANCELLED));
    EXPECT_EQ(session.StatusCode(), 0u);
    ::Sleep(200);
    EXPECT_EQ(server.Requests(), 0);
}

TEST_F(NetStop, ReceiverMayWaitForThreadsThatUseTheSession) {
    // Each report waits (bounded) for a thread that reads the session, or
    // stops the run and then reads the session. Were a lock of the session
    // held during the report, that thread could not finish in time.
    struct Case {
        const char* pszName;
        bool bStop;
        DWORD dwResult;
    };
    const Case cases[] = {
        {"reads the session", false, 0},
        {"stops the run", true, ERROR_CANCELLED},
    };
    const std::string strBody(60000, 'r');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        LoopbackServer server({Head(strBody.size()), strBody});
        CancelSignal stop;
        TransferLimits limits;
        limits.dwWaitMs = kLongWaitMs;
        limits.pCancel = &stop;
        std::mutex threadsLock;
        std::vector<std::thread> threads;
        std::atomic<int> nReports{0}, nTimedOut{0}, nWrongReadings{0};
        {
            TransferSession session(limits);
            ASSERT_EQ(session.Open(server.Url(L"/r.exe")), 0u);
            session.SetProgressCallback([&](DWORD) {
                ++nReports;
                auto done = std::make_shared<Flag>();
                std::lock_guard<std::mutex> guard(threadsLock);
                threads.emplace_back([&, done] {
                    if (c.bStop)
                        stop.Set();
                    if (session.StatusCode() != 200 || session.ContentLength() != strBody.size())
                        ++nWrongReadings;
                    done->Set();
                });
                if (!done->WaitFor(5000))
                    ++nTimedOut;
            });
            EXPECT_EQ(session.Get(), c.dwResult);
            for (std::thread& t : threads)
                t.join();
        }
        EXPECT_GT(nReports.load(), 0);
        EXPECT_EQ(nTimedOut.load(), 0);
        EXPECT_EQ(nWrongReadings.load(), 0);
    }
}

TEST_F(NetStop, StopWaitsBoundedForAReportStillRunning) {
    // The first report blocks until it is let go. A report that ends soon
    // after the stop has ended when Get returns; one that never ends holds Get
    // up only for the session's drain bound.
    struct Case {
        const char* pszName;
        DWORD dwReleaseAfterStopMs; // INFINITE: only after Get returned
        bool bRunningAtReturn;
    };
    const Case cases[] = {
        {"report ends soon", 300, false},
        {"report never ends", INFINITE, true},
    };
    const std::string strBody(200000, 'w');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        LoopbackServer server({Head(strBody.size()), strBody, 16384});
        CancelSignal stop;
        TransferLimits limits;
        limits.dwWaitMs = kLongWaitMs;
        limits.pCancel = &stop;
        auto entered = std::make_shared<Flag>();
        auto release = std::make_shared<Flag>();
        auto running = std::make_shared<std::atomic<bool>>(false);
        bool bRunningAtReturn = false;
        double dStopToReturnMs = 0;
        {
            TransferSession session(limits);
            ASSERT_EQ(session.Open(server.Url(L"/w.exe")), 0u);
            session.SetProgressCallback([=](DWORD) {
                *running = true;
                entered->Set();
                release->WaitFor(10000);
                *running = false;
            });
            LARGE_INTEGER stopped = {};
            std::thread stopper([&] {
                entered->WaitFor(10000);
                stopped = Now();
                stop.Set();
                if (c.dwReleaseAfterStopMs != INFINITE) {
                    ::Sleep(c.dwReleaseAfterStopMs);
                    release->Set();
                }
            });
            EXPECT_EQ(session.Get(), static_cast<DWORD>(ERROR_CANCELLED));
            const LARGE_INTEGER returned = Now();
            bRunningAtReturn = running->load();
            stopper.join();
            dStopToReturnMs = Milliseconds(stopped, returned);
            release->Set();
        }
        std::printf("[ measured ] %s: stop to return %.1f ms\n", c.pszName, dStopToReturnMs);
        EXPECT_EQ(bRunningAtReturn, c.bRunningAtReturn);
        // Never as long as the report's own wait of 10 s.
        EXPECT_LT(dStopToReturnMs, 10000.0 / 2);
        for (int i = 0; i < 50 && running->load(); ++i)
            ::Sleep(20);
        EXPECT_FALSE(running->load());
    }
}

} // namespace
