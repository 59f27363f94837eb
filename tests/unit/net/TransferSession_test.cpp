// The transfer session against a loopback server inside the test program:
// failures inside WinHTTP's notifications (memory running out, a progress
// receiver that throws) and notifications of a request that was given up.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "NetRequest.h"
#include "TransferSession.h"
#include "net_loopback_server.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// While set, every allocation of 32 KiB or more fails, as in a crowded 32-bit
// address space. Small allocations (and everything of WinHTTP, which has its
// own heap) go on working.
static std::atomic<bool> g_bRefuseLargeAllocations(false);
// The largest allocation asked for (granted or not) since it was last reset.
static std::atomic<size_t> g_nLargestAllocation(0);

void* operator new(size_t nSize) {
    size_t nLargest = g_nLargestAllocation.load();
    while (nSize > nLargest && !g_nLargestAllocation.compare_exchange_weak(nLargest, nSize)) {
    }
    if (g_bRefuseLargeAllocations.load() && nSize >= 32 * 1024)
        throw std::bad_alloc();
    if (void* p = ::HeapAlloc(::GetProcessHeap(), 0, nSize ? nSize : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    if (p)
        ::HeapFree(::GetProcessHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

namespace {

using nettest::Head;
using nettest::LoopbackServer;
using nettest::Script;

using testsupport::ScratchFolder;

class NetSession : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(0x0202, &data), 0);
    }
    void TearDown() override {
        g_bRefuseLargeAllocations = false;
        ::WSACleanup();
    }
};

TEST_F(NetSession, MemoryRunningOutEndsTheTransferAsAFailure) {
    const std::string strBody(300 * 1024, 'm');
    LoopbackServer server({Head(strBody.size()), strBody});
    {
        TransferSession session;
        ASSERT_EQ(session.Open(server.Url(L"/big.exe")), 0u);
        g_bRefuseLargeAllocations = true;
        EXPECT_EQ(session.Get(), 0u);
        g_bRefuseLargeAllocations = false;
        EXPECT_EQ(session.StatusCode(), 200u);
        EXPECT_EQ(session.BodyError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_LT(session.Body().Size(), strBody.size());
    }

    // A download never holds its body in memory: it goes on working.
    ScratchFolder folder;
    std::wstring wstrPath = folder.Path();
    g_bRefuseLargeAllocations = true;
    const ResultCode result = DownloadFile(server.Url(L"/big.exe"), wstrPath, nullptr, L"exe");
    g_bRefuseLargeAllocations = false;
    EXPECT_EQ(result, Result::kSuccess);
    EXPECT_EQ(folder.Names(), std::vector<std::wstring>{L"big.exe"});
}

TEST_F(NetSession, ThrowingProgressReceiverEndsTheTransfer) {
    const std::string strBody(50000, 'p');
    LoopbackServer server({Head(strBody.size()), strBody});
    TransferSession session;
    ASSERT_EQ(session.Open(server.Url(L"/p.exe")), 0u);
    session.SetProgressCallback([](DWORD) { throw std::runtime_error("receiver failed"); });
    EXPECT_EQ(session.Get(), 0u);
    EXPECT_EQ(session.StatusCode(), 200u);
    EXPECT_EQ(session.BodyError(), static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR));
}

TEST_F(NetSession, GivenUpRequestCallsNobodyLater) {
    // 20000 bytes at once, the rest only once the test lets it go: the wait
    // runs out in between, whatever the machine's load.
    const std::string strBody(60000, 'l');
    LoopbackServer server({Head(strBody.size()), strBody, 20000});
    std::atomic<int>* pReports = new std::atomic<int>(0);
    int nAtReturn = 0;
    {
        TransferLimits limits;
        limits.dwWaitMs = 1500;
        TransferSession session(limits);
        ASSERT_EQ(session.Open(server.Url(L"/late.exe")), 0u);
        session.SetProgressCallback([pReports](DWORD) { ++*pReports; });
        EXPECT_EQ(session.Get(), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
        nAtReturn = pReports->load();
        EXPECT_GT(nAtReturn, 0);
        EXPECT_EQ(session.StatusCode(), 200u);
        server.Release();
    }
    // The session is gone; the rest of the body goes out, and nothing of the
    // old request may run any more.
    for (int i = 0; i < 40 && !server.Finished(); ++i)
        ::Sleep(100);
    ::Sleep(500);
    EXPECT_EQ(pReports->load(), nAtReturn);
    delete pReports;
}

TEST_F(NetSession, AnnouncedLengthAllocatesOnlyWhatArrives) {
    // Each server announces far more than the 10000 bytes it sends before it
    // closes the connection in order.
    const char* const lengths[] = {"4294967295", "2147483647", "536870912", "104857600"};
    const std::string strBody(10000, 'h');
    for (const char* pszLength : lengths) {
        SCOPED_TRACE(pszLength);
        LoopbackServer server({Head(pszLength), strBody});
        {
            TransferSession session;
            ASSERT_EQ(session.Open(server.Url(L"/huge.exe")), 0u);
            g_nLargestAllocation = 0;
            EXPECT_EQ(session.Get(), 0u);
            EXPECT_LT(g_nLargestAllocation.load(), ResponseBody::kLargestBlock);
            EXPECT_EQ(session.StatusCode(), 200u);
            // How a number beyond 32 bits reads differs between WinHTTPs
            // (Wine's stops at 2^31 - 1); it is always more than arrived.
            EXPECT_GT(session.ContentLength(), strBody.size());
            EXPECT_EQ(session.Body().Size(), strBody.size());
            EXPECT_NE(session.BodyError(), 0u);
        }
        ScratchFolder folder;
        std::wstring wstrPath = folder.Path();
        g_nLargestAllocation = 0;
        TransferLimits limits;
        limits.dwBackoffUnitMs = 1;
        const ResultCode result = DownloadFile(
            server.Url(L"/huge.exe"), wstrPath, [](DWORD) {}, L"exe", limits);
        EXPECT_LT(g_nLargestAllocation.load(), ResponseBody::kLargestBlock);
        EXPECT_TRUE(Result::Failed(result));
        EXPECT_EQ(result & 0xFFFF0000, 0xE0FE0000);
        EXPECT_EQ(wstrPath, folder.Path());
        EXPECT_TRUE(folder.Empty());
    }
}

TEST_F(NetSession, DownloadKeepsTheFolderUnlessAFileWasSaved) {
    struct Case {
        const char* pszName;
        Script script;
        const wchar_t* pszUrlPath;
        const wchar_t* pszSubfolder; // appended to the folder passed in
        DWORD dwWaitMs;
        bool bStopFirst;
        ResultCode expected;
        // Requests the server read: a cut body is tried again, a missing
        // folder is found before anything is asked, and a stalled server reads
        // no further request while it holds the first.
        int nRequests;
    };
    const std::string strBody(30000, 'd');
    const Case cases[] = {
        {"saved",
         {Head(strBody.size()), strBody},
         L"/pkg.exe",
         L"",
         60000,
         false,
         Result::kSuccess,
         1},
        {"not found",
         {Head(5, "404 Not Found"), "gone!"},
         L"/pkg.exe",
         L"",
         60000,
         false,
         Result::kUnexpectedStatus,
         1},
        {"body cut off",
         {Head(strBody.size()), strBody.substr(0, 9000)},
         L"/pkg.exe",
         L"",
         60000,
         false,
         Result::FromPlatformError(ERROR_WINHTTP_CONNECTION_ERROR),
         4},
        {"no file name",
         {Head(strBody.size()), strBody},
         L"/",
         L"",
         60000,
         false,
         Result::kNoFileName,
         1},
        {"folder missing",
         {Head(strBody.size()), strBody},
         L"/pkg.exe",
         L"\\missing",
         60000,
         false,
         Result::kCannotCreateFile,
         0},
        {"server stalls past the bound",
         {},
         L"/pkg.exe",
         L"",
         800,
         false,
         Result::FromPlatformError(ERROR_WINHTTP_CANNOT_CONNECT),
         1},
        {"stopped",
         {Head(strBody.size()), strBody},
         L"/pkg.exe",
         L"",
         60000,
         true,
         Result::kCancelled,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        LoopbackServer server(c.script);
        ScratchFolder folder;
        CvCommon::Synchronize::CancelSignal stop;
        if (c.bStopFirst)
            stop.Set();
        TransferLimits limits;
        limits.dwWaitMs = c.dwWaitMs;
        limits.pCancel = &stop;
        limits.dwBackoffUnitMs = 1;
        const std::wstring wstrIn = folder.Path() + c.pszSubfolder;
        std::wstring wstrPath = wstrIn;
        EXPECT_EQ(DownloadFile(server.Url(c.pszUrlPath), wstrPath, nullptr, L"exe", limits),
                  c.expected);
        if (c.expected == Result::kSuccess) {
            EXPECT_EQ(wstrPath, folder.Path() + L"\\pkg.exe");
            EXPECT_EQ(folder.Names(), std::vector<std::wstring>{L"pkg.exe"});
        } else {
            EXPECT_EQ(wstrPath, wstrIn);
            EXPECT_TRUE(folder.Empty());
        }
        EXPECT_EQ(server.Requests(), c.nRequests);
    }
}

TEST_F(NetSession, SubmitRequestDeliversNothingWhenStoppedOrOutOfTime) {
    struct Case {
        const char* pszName;
        Script script;
        DWORD dwWaitMs;
        bool bStopFirst;
        ResultCode expected;
    };
    const Case cases[] = {
        {"answered", {Head(6), "answer"}, 60000, false, Result::kSuccess},
        {"server stalls past the bound",
         {},
         800,
         false,
         Result::FromPlatformError(ERROR_WINHTTP_CANNOT_CONNECT)},
        {"stalled body past the bound",
         {Head(50000), std::string(50000, 's'), 4000},
         800,
         false,
         Result::FromPlatformError(ERROR_WINHTTP_CANNOT_CONNECT)},
        {"stopped", {Head(6), "answer"}, 60000, true, Result::kCancelled},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        LoopbackServer server(c.script);
        CvCommon::Synchronize::CancelSignal stop;
        if (c.bStopFirst)
            stop.Set();
        TransferLimits limits;
        limits.dwWaitMs = c.dwWaitMs;
        limits.pCancel = &stop;
        limits.dwBackoffUnitMs = 1;
        std::string strOut = "untouched";
        DWORD dwStatus = 0xFFFFFFFF;
        EXPECT_EQ(SubmitRequest(server.Url(L"/ask"), std::string(), strOut, false, &dwStatus,
                                std::wstring(), limits),
                  c.expected);
        const bool bSuccess = c.expected == Result::kSuccess;
        EXPECT_EQ(strOut, bSuccess ? "answer" : "untouched");
        EXPECT_EQ(dwStatus, bSuccess ? 200u : 0xFFFFFFFF);
        EXPECT_EQ(server.Requests(), c.bStopFirst ? 0 : 1);
    }
}

} // namespace
