// The transfer session against a loopback server inside the test program:
// failures inside WinHTTP's notifications (memory running out, a progress
// receiver that throws) and notifications of a request that was given up.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "NetRequest.h"
#include "TransferSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

// While set, every allocation of 32 KiB or more fails, as in a crowded 32-bit
// address space. Small allocations (and everything of WinHTTP, which has its
// own heap) go on working.
static std::atomic<bool> g_bRefuseLargeAllocations(false);

void* operator new(size_t nSize) {
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

// Answers every connection with a fixed head and body: the first part of the
// body at once, the rest after a pause.
class LoopbackServer {
public:
    LoopbackServer(std::string strHead, std::string strBody, size_t nFirstPart = std::string::npos,
                   DWORD dwPauseMs = 0)
        : m_dwPauseMs(dwPauseMs) {
        // Both parts are made here: the serving thread allocates nothing
        // large, so a test may refuse large allocations meanwhile.
        const size_t nFirst = std::min(nFirstPart, strBody.size());
        m_strFirst = strHead + strBody.substr(0, nFirst);
        m_strRest = strBody.substr(nFirst);
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(m_listener, 4);
        int cbAddress = sizeof(address);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
        m_usPort = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~LoopbackServer() {
        ::closesocket(m_listener);
        m_thread.join();
    }
    std::wstring Url(const wchar_t* pszPath) const {
        return L"http://127.0.0.1:" + std::to_wstring(m_usPort) + pszPath;
    }
    bool Finished() const { return m_bFinished.load(); }

private:
    void Serve() {
        for (;;) {
            SOCKET client = ::accept(m_listener, nullptr, nullptr);
            if (client == INVALID_SOCKET)
                return;
            std::string strRequest;
            char buffer[4096];
            while (strRequest.find("\r\n\r\n") == std::string::npos) {
                const int n = ::recv(client, buffer, sizeof(buffer), 0);
                if (n <= 0)
                    break;
                strRequest.append(buffer, n);
            }
            SendAll(client, m_strFirst);
            if (!m_strRest.empty()) {
                ::Sleep(m_dwPauseMs);
                SendAll(client, m_strRest);
            }
            ::shutdown(client, SD_SEND);
            ::closesocket(client);
            m_bFinished = true;
        }
    }
    static void SendAll(SOCKET s, const std::string& strData) {
        size_t nDone = 0;
        while (nDone < strData.size()) {
            const int n =
                ::send(s, strData.data() + nDone, static_cast<int>(strData.size() - nDone), 0);
            if (n <= 0)
                return;
            nDone += static_cast<size_t>(n);
        }
    }

    std::string m_strFirst;
    std::string m_strRest;
    DWORD m_dwPauseMs;
    SOCKET m_listener = INVALID_SOCKET;
    USHORT m_usPort = 0;
    std::thread m_thread;
    std::atomic<bool> m_bFinished{false};
};

std::string Head(size_t nContentLength) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(nContentLength) +
           "\r\nConnection: close\r\n\r\n";
}

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
    LoopbackServer server(Head(strBody.size()), strBody);
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

    // The download fails the same way and leaves no file.
    wchar_t szTemp[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, szTemp);
    std::wstring wstrFolder = std::wstring(szTemp) + L"net_session_oom";
    ::CreateDirectoryW(wstrFolder.c_str(), nullptr);
    std::wstring wstrPath = wstrFolder;
    g_bRefuseLargeAllocations = true;
    const ResultCode result = DownloadFile(server.Url(L"/big.exe"), wstrPath, nullptr, L"exe");
    g_bRefuseLargeAllocations = false;
    EXPECT_EQ(result, Result::FromPlatformError(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(::GetFileAttributesW((wstrFolder + L"\\big.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    ::RemoveDirectoryW(wstrFolder.c_str());
}

TEST_F(NetSession, ThrowingProgressReceiverEndsTheTransfer) {
    const std::string strBody(50000, 'p');
    LoopbackServer server(Head(strBody.size()), strBody);
    TransferSession session;
    ASSERT_EQ(session.Open(server.Url(L"/p.exe")), 0u);
    session.SetProgressCallback([](DWORD) { throw std::runtime_error("receiver failed"); });
    EXPECT_EQ(session.Get(), 0u);
    EXPECT_EQ(session.StatusCode(), 200u);
    EXPECT_EQ(session.BodyError(), static_cast<DWORD>(ERROR_WINHTTP_INTERNAL_ERROR));
}

TEST_F(NetSession, GivenUpRequestCallsNobodyLater) {
    // 20000 bytes at once, the rest two seconds later: the wait of half a
    // second runs out in between.
    const std::string strBody(60000, 'l');
    LoopbackServer server(Head(strBody.size()), strBody, 20000, 2000);
    std::atomic<int>* pReports = new std::atomic<int>(0);
    int nAtReturn = 0;
    {
        TransferLimits limits;
        limits.dwWaitMs = 500;
        TransferSession session(limits);
        ASSERT_EQ(session.Open(server.Url(L"/late.exe")), 0u);
        session.SetProgressCallback([pReports](DWORD) { ++*pReports; });
        EXPECT_EQ(session.Get(), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
        nAtReturn = pReports->load();
        EXPECT_EQ(session.StatusCode(), 200u);
    }
    // The session is gone; the rest of the body arrives at the server's end
    // of the connection, and nothing of the old request may run any more.
    for (int i = 0; i < 40 && !server.Finished(); ++i)
        ::Sleep(100);
    ::Sleep(500);
    EXPECT_EQ(pReports->load(), nAtReturn);
    delete pReports;
}

} // namespace
