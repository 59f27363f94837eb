// Downloads and submitted requests over connections that break: resume with
// a byte range, restart when the server cannot continue, retries with
// backoff, and what is left on disk.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "NetRequest.h"
#include "net_loopback_server.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

namespace {

using nettest::LoopbackServer;
using nettest::Script;
using testsupport::ScratchFolder;

const std::string kBody = [] {
    std::string strBody(200 * 1024, '\0');
    for (size_t i = 0; i < strBody.size(); ++i)
        strBody[i] = static_cast<char>('a' + i % 23);
    return strBody;
}();
constexpr size_t kCut = 70 * 1024;

std::string FullHead(const char* pszExtra = "ETag: \"v1\"\r\n") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody.size()) + "\r\n" +
           pszExtra + "Connection: close\r\n\r\n";
}

// The first answer: the whole body announced, the connection closed after
// kCut (a reset could throw away bytes the client had not read yet).
Script CutAnswer(const char* pszExtra = "ETag: \"v1\"\r\n") {
    Script script{FullHead(pszExtra), kBody, kCut};
    script.bCloseAfterFirst = true;
    return script;
}

Script RangeAnswer(size_t nFrom, size_t nClaimedFrom) {
    const std::string strRest = kBody.substr(nFrom);
    return {"HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(strRest.size()) +
                "\r\nContent-Range: bytes " + std::to_string(nClaimedFrom) + "-" +
                std::to_string(nClaimedFrom + strRest.size() - 1) + "/" +
                std::to_string(kBody.size()) + "\r\nETag: \"v1\"\r\nConnection: close\r\n\r\n",
            strRest};
}

Script Status(const char* pszStatus, const char* pszExtra = "") {
    return {std::string("HTTP/1.1 ") + pszStatus + "\r\nContent-Length: 0\r\n" + pszExtra +
                "Connection: close\r\n\r\n",
            std::string()};
}

std::string ReadFile(const std::wstring& wstrPath) {
    std::ifstream file(wstrPath.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TransferLimits FastRetries() {
    TransferLimits limits;
    limits.dwBackoffUnitMs = 1;
    return limits;
}

class FileDownload : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(0x0202, &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }

    // Downloads /pkg.exe into the folder; the file's path on success.
    ResultCode Download(LoopbackServer& server, std::wstring& wstrPath,
                        const TransferLimits& limits = FastRetries()) {
        wstrPath = m_folder.Path();
        return DownloadFile(server.Url(L"/pkg.exe"), wstrPath, nullptr, L"exe", limits);
    }

    ScratchFolder m_folder;
};

TEST_F(FileDownload, ACutConnectionResumesWhereItBrokeOff) {
    // The server continues exactly where the cut left the file; one that
    // sends it all again is followed; a range that does not continue the
    // file is refused, and the next attempt starts from zero.
    struct Case {
        const char* pszName;
        std::vector<Script> answers;
        size_t nRequests;
        bool bRangeAsked;
    };
    const Case cases[] = {
        {"continues", {CutAnswer(), RangeAnswer(kCut, kCut)}, 2, true},
        {"ignores range", {CutAnswer(), Script{FullHead(), kBody}}, 2, true},
        {"wrong range",
         {CutAnswer(), RangeAnswer(kCut, kCut + 1), Script{FullHead(), kBody}},
         3,
         true},
        {"no validator", {CutAnswer(""), Script{FullHead(""), kBody}}, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        ScratchFolder folder;
        LoopbackServer server(c.answers);
        std::wstring wstrPath = folder.Path();
        ASSERT_EQ(DownloadFile(server.Url(L"/pkg.exe"), wstrPath, nullptr, L"exe", FastRetries()),
                  Result::kSuccess);
        EXPECT_EQ(wstrPath, folder.Path() + L"\\pkg.exe");
        EXPECT_TRUE(ReadFile(wstrPath) == kBody);
        EXPECT_EQ(folder.Names(), std::vector<std::wstring>{L"pkg.exe"});
        const std::vector<std::string> heads = server.RequestHeads();
        ASSERT_EQ(heads.size(), c.nRequests);
        EXPECT_EQ(heads[0].find("Range:"), std::string::npos);
        const bool bAsked =
            heads[1].find("Range: bytes=" + std::to_string(kCut) + "-") != std::string::npos &&
            heads[1].find("If-Range: \"v1\"") != std::string::npos;
        EXPECT_EQ(bAsked, c.bRangeAsked) << heads[1];
        EXPECT_EQ(heads.back().find("Range:") == std::string::npos, c.nRequests == 3 || !bAsked);
    }
}

TEST_F(FileDownload, TransientFailuresAreRetriedAndFinalOnesAreNot) {
    struct Case {
        const char* pszName;
        std::vector<Script> answers;
        ResultCode expected;
        int nRequests;
    };
    const Case cases[] = {
        {"503 once",
         {Status("503 Service Unavailable"), Script{FullHead(), kBody}},
         Result::kSuccess,
         2},
        {"429 once",
         {Status("429 Too Many Requests", "Retry-After: 0\r\n"), Script{FullHead(), kBody}},
         Result::kSuccess,
         2},
        {"always 500", {Status("500 Internal Server Error")}, Result::kUnexpectedStatus, 4},
        {"404", {Status("404 Not Found"), Script{FullHead(), kBody}}, Result::kUnexpectedStatus, 1},
        // Every attempt breaks off before adding anything new.
        {"always cut",
         {CutAnswer(), Script{Status("206 Partial Content").strHead, "", 0}},
         Result::FromPlatformError(ERROR_WINHTTP_INVALID_SERVER_RESPONSE),
         4},
        // A server that cuts every answer at the same place and ignores the
        // range makes no progress after the first.
        {"same cut", {CutAnswer()}, Result::FromPlatformError(ERROR_WINHTTP_CONNECTION_ERROR), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        ScratchFolder folder;
        LoopbackServer server(c.answers);
        std::wstring wstrPath = folder.Path();
        EXPECT_EQ(DownloadFile(server.Url(L"/pkg.exe"), wstrPath, nullptr, L"exe", FastRetries()),
                  c.expected);
        EXPECT_EQ(server.Requests(), c.nRequests);
        // A failed download leaves nothing behind, not even its partial file.
        if (c.expected != Result::kSuccess) {
            EXPECT_TRUE(folder.Empty());
        }
    }
}

TEST_F(FileDownload, ACutAfterProgressResumesAtOnceAndAFailureWithoutProgressWaits) {
    // With the real backoff unit: a 503 before any byte waits about a second
    // before the next attempt, a cut that left new bytes on disk does not.
    const TransferLimits limits; // waits of about 1, 2 and 4 s
    DWORD dwElapsed[2] = {};
    const std::vector<Script> answers[2] = {
        {Status("503 Service Unavailable"), Script{FullHead(), kBody}},
        {CutAnswer(), RangeAnswer(kCut, kCut)},
    };
    for (int i = 0; i < 2; ++i) {
        ScratchFolder folder;
        LoopbackServer server(answers[i]);
        std::wstring wstrPath = folder.Path();
        const DWORD dwStart = ::GetTickCount();
        ASSERT_EQ(DownloadFile(server.Url(L"/pkg.exe"), wstrPath, nullptr, L"exe", limits),
                  Result::kSuccess);
        dwElapsed[i] = ::GetTickCount() - dwStart;
        EXPECT_EQ(server.Requests(), 2);
    }
    EXPECT_LT(dwElapsed[1] * 4, dwElapsed[0])
        << dwElapsed[1] << " ms after a cut, " << dwElapsed[0] << " ms after a 503";
}

TEST_F(FileDownload, AStopEndsTheWaitBeforeARetryAtOnce) {
    LoopbackServer server(Status("503 Service Unavailable"));
    CvCommon::Synchronize::CancelSignal cancel;
    TransferLimits limits; // waits of about 1, 2 and 4 s
    limits.pCancel = &cancel;
    std::thread stopper([&] {
        ::Sleep(300);
        cancel.Set();
    });
    std::wstring wstrPath;
    const DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(Download(server, wstrPath, limits), Result::kCancelled);
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    stopper.join();
    EXPECT_LT(dwElapsed, 1000u);
    EXPECT_EQ(server.Requests(), 1);
    EXPECT_TRUE(m_folder.Empty());
}

TEST_F(FileDownload, SubmittedRequestsRetryAndKeepOnlySmallAnswers) {
    {
        LoopbackServer server({Status("503 Service Unavailable"),
                               Status("302 Found", "Location: https://store.example/pkg.exe\r\n")});
        std::string strOut;
        DWORD dwStatus = 0;
        EXPECT_EQ(SubmitRequest(server.Url(L"/ask"), std::string(), strOut, false, &dwStatus,
                                std::wstring(), FastRetries()),
                  Result::kSuccess);
        EXPECT_EQ(strOut, "https://store.example/pkg.exe");
        EXPECT_EQ(dwStatus, 302u);
        EXPECT_EQ(server.Requests(), 2);
    }
    {
        const std::string strHuge(kMaxSubmittedBodyBytes + 1, 'x');
        LoopbackServer server(Script{nettest::Head(strHuge.size()), strHuge});
        std::string strOut = "untouched";
        EXPECT_EQ(SubmitRequest(server.Url(L"/ask"), std::string(), strOut, false, nullptr,
                                std::wstring(), FastRetries()),
                  Result::FromPlatformError(ERROR_FILE_TOO_LARGE));
        EXPECT_EQ(strOut, "untouched");
        EXPECT_EQ(server.Requests(), 1);
    }
}

} // namespace
