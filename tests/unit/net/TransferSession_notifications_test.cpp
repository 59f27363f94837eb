// The WinHTTP notifications a transfer session's request receives, against
// a loopback server, compared with a table of the expected sequence per
// case: the request's own calls completing, its error, and its handle
// closing last, also once the session is gone. WinHTTP's reports of its own
// progress on the connection (resolving, connecting, sending, receiving) are
// left out.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "CvComn_Handle.h"
#include "TransferSession.h"
#include "net_loopback_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using nettest::Head;
using nettest::LoopbackServer;
using nettest::Script;

// One row of a table: a notification and how it may occur.
enum Flag : unsigned {
    kOptional = 1, // may be missing
    kRepeats = 2,  // may come more than once in a row
    kBytes = 4,    // carries bytes (a READ_COMPLETE with data)
    kNoBytes = 8,  // carries none (the READ_COMPLETE of the body's end)
};
struct Expected {
    DWORD dwStatus;
    unsigned flags;
};

struct Seen {
    DWORD dwStatus;
    DWORD dwLength;
};

// Records the notifications of one request; outlives the session, since
// HANDLE_CLOSING may come after it.
class Recorder {
public:
    Recorder() : m_hClosed(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    // Called once, when the response headers are in.
    std::function<void()> onHeaders;

    void Record(DWORD dwStatus, DWORD dwLength) {
        const DWORD dwKept = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
                             WINHTTP_CALLBACK_FLAG_REDIRECT | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE;
        if ((dwStatus & dwKept) == 0)
            return;
        std::function<void()> headers;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_seen.push_back({dwStatus, dwLength});
            if (dwStatus == WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE)
                headers.swap(onHeaders);
        }
        if (headers)
            headers();
        if (dwStatus == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING)
            ::SetEvent(m_hClosed.get());
    }

    bool WaitClosed(DWORD dwMs) const {
        return ::WaitForSingleObject(m_hClosed.get(), dwMs) == WAIT_OBJECT_0;
    }
    std::vector<Seen> Sequence() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_seen;
    }

private:
    mutable std::mutex m_lock;
    std::vector<Seen> m_seen;
    CvCommon::Handle::UniqueHandle m_hClosed;
};

bool Matches(const Expected& row, const Seen& seen) {
    if (row.dwStatus != seen.dwStatus)
        return false;
    if ((row.flags & kBytes) && seen.dwLength == 0)
        return false;
    return !(row.flags & kNoBytes) || seen.dwLength == 0;
}

std::string Describe(const std::vector<Seen>& seen) {
    std::string strText;
    for (const Seen& s : seen) {
        char szItem[40];
        std::snprintf(szItem, sizeof(szItem), " 0x%08lx(%lu)", s.dwStatus, s.dwLength);
        strText += szItem;
    }
    return strText;
}

// Walks the sequence along the table; empty when it fits, else the first
// notification that does not (or the first row that never came).
std::string Mismatch(const std::vector<Expected>& table, const std::vector<Seen>& seen) {
    size_t nRow = 0;
    bool bRowSeen = false;
    auto mayPass = [&] { return bRowSeen || (table[nRow].flags & kOptional); };
    for (size_t i = 0; i < seen.size(); ++i) {
        while (nRow < table.size() && !Matches(table[nRow], seen[i]) && mayPass()) {
            ++nRow;
            bRowSeen = false;
        }
        if (nRow == table.size() || !Matches(table[nRow], seen[i]))
            return "notification " + std::to_string(i) + " does not fit row " +
                   std::to_string(nRow);
        if (table[nRow].flags & kRepeats) {
            bRowSeen = true;
        } else {
            ++nRow;
            bRowSeen = false;
        }
    }
    for (; nRow < table.size(); ++nRow, bRowSeen = false) {
        if (!mayPass())
            return "row " + std::to_string(nRow) + " never came";
    }
    return std::string();
}

class NetNotifications : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(0x0202, &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }
};

TEST_F(NetNotifications, EachTransferFollowsItsTable) {
    const DWORD kSent = WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE;
    const DWORD kHeaders = WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE;
    const DWORD kRead = WINHTTP_CALLBACK_STATUS_READ_COMPLETE;
    const DWORD kError = WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
    const DWORD kClosing = WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING;
    // Read to its end, then closed.
    const std::vector<Expected> kWholeBody = {
        {kSent, 0}, {kHeaders, 0}, {kRead, kBytes | kRepeats}, {kRead, kNoBytes}, {kClosing, 0}};

    // 1000 of 5000 bytes; the rest only when the test lets it go.
    const Script held{Head(5000), std::string(5000, 'h'), 1000};
    Script cut = held;
    cut.bResetAtRelease = true;
    struct Case {
        const char* pszName;
        std::vector<Script> scripts;
        // What happens once the response headers are in.
        enum { kNothing, kServerResets, kStopped } atHeaders;
        DWORD dwStackTimeoutMs;
        DWORD dwResult;
        std::vector<Expected> table;
    };
    const Case cases[] = {
        {"small GET", {{Head(5), "hello"}}, Case::kNothing, 60000, 0, kWholeBody},
        // Not followed: the 302's own body is read, and WinHTTP reports no
        // redirect.
        {"redirect",
         {{"HTTP/1.1 302 Found\r\nLocation: /there\r\nContent-Length: 5\r\n\r\n", "moved"},
          {Head(5), "there"}},
         Case::kNothing,
         60000,
         0,
         kWholeBody},
        // The body ends early: with an error, or (Wine's WinHTTP, at times)
        // as if it were complete; nothing is read after either.
        {"connection reset within the body",
         {cut},
         Case::kServerResets,
         60000,
         0,
         {{kSent, 0},
          {kHeaders, 0},
          {kRead, kBytes | kRepeats | kOptional},
          {kRead, kNoBytes | kOptional},
          {kError, kOptional},
          {kClosing, 0}}},
        // The pending read fails; nothing is read after the error.
        {"body stalls past the receive time-out",
         {held},
         Case::kNothing,
         500,
         0,
         {{kSent, 0},
          {kHeaders, 0},
          {kRead, kBytes | kRepeats | kOptional},
          {kError, 0},
          {kClosing, 0}}},
        // Stopped while a read is pending: once that read ends nothing more
        // is read, and the handle's closing still reaches the request's
        // state, after the session is gone.
        {"stopped mid-body",
         {held},
         Case::kStopped,
         60000,
         ERROR_CANCELLED,
         {{kSent, 0},
          {kHeaders, 0},
          {kRead, kBytes | kRepeats | kOptional},
          {kError, kOptional},
          {kClosing, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        LoopbackServer server(c.scripts);
        auto pRecorder = std::make_shared<Recorder>();
        CvCommon::Synchronize::CancelSignal stop;
        if (c.atHeaders == Case::kServerResets)
            pRecorder->onHeaders = [&server] { server.Release(); };
        else if (c.atHeaders == Case::kStopped)
            pRecorder->onHeaders = [&stop] { stop.Set(); };
        {
            TransferLimits limits;
            limits.dwStackTimeoutMs = c.dwStackTimeoutMs;
            limits.pCancel = &stop;
            TransferSession session(limits);
            session.SetNotificationTrace([pRecorder](DWORD dwStatus, DWORD dwLength) {
                pRecorder->Record(dwStatus, dwLength);
            });
            ASSERT_EQ(session.Open(server.Url(L"/p.exe")), 0u);
            EXPECT_EQ(session.Get(), c.dwResult);
        }
        // A read still pending in WinHTTP (Wine's does not end it when the
        // handle closes) ends with the rest of the body; the handle's closing
        // comes after it.
        server.Release();
        EXPECT_TRUE(pRecorder->WaitClosed(10000));
        const std::vector<Seen> seen = pRecorder->Sequence();
        EXPECT_EQ(Mismatch(c.table, seen), "") << Describe(seen);
        EXPECT_EQ(server.Requests(), 1);
    }
}

} // namespace
