#pragma once
// A loopback HTTP server on a thread of its own, for unit tests: it accepts
// one connection at a time on 127.0.0.1, reads the request head and asks the
// test's handler what to do with it: answer 200 and close, or hold the
// connection open without an answer until Release, the server's end or 20 s
// (so that a client that never gives up still lets its test end).

#include <winsock2.h>
#include <ws2tcpip.h>

#include "CvComn_Handle.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct SocketTraits {
    using pointer = SOCKET;
    static pointer Invalid() noexcept { return INVALID_SOCKET; }
    static bool IsValid(pointer s) noexcept { return s != INVALID_SOCKET; }
    static void Close(pointer s) noexcept { ::closesocket(s); }
};
using UniqueSocket = CvCommon::Handle::UniqueAny<SocketTraits>;

class LoopbackServer {
public:
    enum class Reply { Answer200, Hold };
    // Runs on the server thread, once per request; may block (the next
    // connection waits meanwhile) and may call ConnectionPending.
    using Handler = std::function<Reply(LoopbackServer& server, const std::string& strRequest)>;

    explicit LoopbackServer(Handler handler) : m_handler(std::move(handler)) {
        WSADATA data = {};
        m_bStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        m_listen.reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int nLength = sizeof(address);
        if (!m_listen ||
            ::bind(m_listen.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_listen.get(), 16) != 0 ||
            ::getsockname(m_listen.get(), reinterpret_cast<sockaddr*>(&address), &nLength) != 0)
            return;
        m_nPort = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }

    ~LoopbackServer() {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        Release();
        m_listen.reset();
        if (m_bStarted)
            ::WSACleanup();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool Listening() const { return m_nPort != 0; }
    std::wstring Host() const { return L"127.0.0.1:" + std::to_wstring(m_nPort); }

    // Closes every held connection: their clients see the connection end.
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.clear();
    }

    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    size_t RequestCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests.size();
    }

    // Whether a connection waits to be accepted, looking for up to nMs.
    bool ConnectionPending(long nMs) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_listen.get(), &readable);
        timeval wait = {nMs / 1000, (nMs % 1000) * 1000};
        return ::select(0, &readable, nullptr, nullptr, &wait) == 1;
    }

private:
    void Serve() {
        while (!m_bStop) {
            CloseOverdue();
            if (!ConnectionPending(20))
                continue;
            UniqueSocket s(::accept(m_listen.get(), nullptr, nullptr));
            if (!s)
                continue;
            const std::string strRequest = ReadHead(s.get());
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(strRequest);
            }
            if (m_handler(*this, strRequest) == Reply::Hold) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_held.push_back({std::move(s), std::chrono::steady_clock::now() + kHoldLimit});
                continue;
            }
            static const char kAnswer[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"
                                          "Connection: close\r\n\r\n";
            ::send(s.get(), kAnswer, static_cast<int>(sizeof(kAnswer) - 1), 0);
            ::shutdown(s.get(), SD_SEND);
        }
    }

    void CloseOverdue() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        for (auto it = m_held.begin(); it != m_held.end();) {
            if (it->until > now)
                ++it;
            else
                it = m_held.erase(it);
        }
    }

    // The request line and headers; at most 10 s and 64 KiB.
    std::string ReadHead(SOCKET s) {
        std::string strHead;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (strHead.find("\r\n\r\n") == std::string::npos && strHead.size() < 65536 &&
               std::chrono::steady_clock::now() < deadline && !m_bStop) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(s, &readable);
            timeval wait = {0, 20000};
            if (::select(0, &readable, nullptr, nullptr, &wait) != 1)
                continue;
            char buffer[4096];
            const int nRead = ::recv(s, buffer, sizeof(buffer), 0);
            if (nRead <= 0)
                break;
            strHead.append(buffer, static_cast<size_t>(nRead));
        }
        return strHead;
    }

    static constexpr std::chrono::seconds kHoldLimit{20};
    struct Held {
        UniqueSocket s;
        std::chrono::steady_clock::time_point until;
    };

    Handler m_handler;
    bool m_bStarted = false;
    UniqueSocket m_listen;
    unsigned short m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<Held> m_held;
    std::vector<std::string> m_requests;
};
