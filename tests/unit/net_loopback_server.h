#pragma once
// A scripted HTTP server on 127.0.0.1 for the transfer tests, one connection
// at a time: it reads a request's head, then sends a fixed head and the first
// part of a body, and the rest at once, piece by piece, or when the test
// releases it (or, instead of the rest, a reset when the test releases it).
// Every wait of the serving thread also ends when the server is destroyed, so
// no test outlives its server.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "CvComn_Handle.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nettest {

struct Script {
    // Status line and headers. Empty: the server reads the request and
    // answers nothing until it is released or destroyed.
    std::string strHead;
    std::string strBody;
    // Body bytes sent together with the head; the rest follows as below.
    size_t nFirstPart = std::string::npos;
    // The rest in pieces of nDripBytes, one every dwDripMs; with 0 the rest
    // waits until Release().
    size_t nDripBytes = 0;
    DWORD dwDripMs = 0;
    // The connection is closed (in order, so that nothing sent is lost)
    // right after the first part.
    bool bCloseAfterFirst = false;
    // The rest is never sent: once the test releases it, the connection is
    // reset instead.
    bool bResetAtRelease = false;
};

inline std::string Head(const std::string& strContentLength, const char* pszStatus = "200 OK") {
    return std::string("HTTP/1.1 ") + pszStatus + "\r\nContent-Length: " + strContentLength +
           "\r\nConnection: close\r\n\r\n";
}
inline std::string Head(size_t nContentLength, const char* pszStatus = "200 OK") {
    return Head(std::to_string(nContentLength), pszStatus);
}

class LoopbackServer {
public:
    explicit LoopbackServer(Script script)
        : LoopbackServer(std::vector<Script>{std::move(script)}) {}
    // Connection n gets scripts[n], the last script again once they run out.
    explicit LoopbackServer(std::vector<Script> scripts)
        : m_scripts(std::move(scripts)), m_hStop(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_hRelease(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        // Everything sent is made here: the serving thread allocates nothing
        // large, so a test may refuse or count large allocations meanwhile.
        for (const Script& script : m_scripts) {
            const size_t nFirst = std::min(script.nFirstPart, script.strBody.size());
            m_vecFirst.push_back(script.strHead + script.strBody.substr(0, nFirst));
            m_vecRest.push_back(script.strBody.substr(nFirst));
        }
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
        ::SetEvent(m_hStop.get());
        ::closesocket(m_listener);
        m_thread.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::wstring Url(const wchar_t* pszPath) const {
        return L"http://127.0.0.1:" + std::to_wstring(m_usPort) + pszPath;
    }
    // Lets a held answer go on.
    void Release() { ::SetEvent(m_hRelease.get()); }
    // Requests whose head arrived.
    int Requests() const { return m_nRequests.load(); }
    // True once an answer went out to its end.
    bool Finished() const { return m_bFinished.load(); }
    // The heads of the requests so far, in order.
    std::vector<std::string> RequestHeads() const {
        std::lock_guard<std::mutex> guard(m_headsLock);
        return m_vecHeads;
    }

private:
    // Longest a held answer waits for its release.
    static constexpr DWORD kHoldCapMs = 30000;
    // Longest wait for a request's head.
    static constexpr DWORD kReceiveCapMs = 10000;

    void Serve() {
        for (;;) {
            SOCKET client = ::accept(m_listener, nullptr, nullptr);
            if (client == INVALID_SOCKET)
                return;
            if (::WaitForSingleObject(m_hStop.get(), 0) == WAIT_OBJECT_0) {
                ::closesocket(client);
                return;
            }
            // A client that never sends its request does not hold the server.
            DWORD dwReceiveMs = kReceiveCapMs;
            ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO,
                         reinterpret_cast<const char*>(&dwReceiveMs), sizeof(dwReceiveMs));
            if (Answer(client)) {
                // A zero linger time makes the close a reset.
                const linger reset = {1, 0};
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
                             sizeof(reset));
            } else {
                ::shutdown(client, SD_SEND);
            }
            ::closesocket(client);
        }
    }

    // True when the connection is to be reset.
    bool Answer(SOCKET client) {
        std::string strRequest;
        char buffer[4096];
        while (strRequest.find("\r\n\r\n") == std::string::npos) {
            const int n = ::recv(client, buffer, sizeof(buffer), 0);
            if (n <= 0)
                return false;
            strRequest.append(buffer, n);
        }
        const size_t nScript =
            std::min(static_cast<size_t>(m_nRequests.load()), m_scripts.size() - 1);
        {
            std::lock_guard<std::mutex> guard(m_headsLock);
            m_vecHeads.push_back(strRequest.substr(0, strRequest.find("\r\n\r\n")));
        }
        ++m_nRequests;
        const Script& script = m_scripts[nScript];
        const std::string& strFirst = m_vecFirst[nScript];
        const std::string& strRest = m_vecRest[nScript];
        if (script.strHead.empty()) {
            WaitForRelease();
            return false;
        }
        if (!SendAll(client, strFirst.data(), strFirst.size()))
            return false;
        if (script.bCloseAfterFirst)
            return false;
        if (script.bResetAtRelease)
            return WaitForRelease();
        if (script.nDripBytes > 0) {
            for (size_t nDone = 0; nDone < strRest.size(); nDone += script.nDripBytes) {
                if (::WaitForSingleObject(m_hStop.get(), script.dwDripMs) == WAIT_OBJECT_0)
                    return false;
                const size_t nPiece = std::min(script.nDripBytes, strRest.size() - nDone);
                if (!SendAll(client, strRest.data() + nDone, nPiece))
                    return false;
            }
        } else if (!strRest.empty()) {
            if (!WaitForRelease())
                return false;
            if (!SendAll(client, strRest.data(), strRest.size()))
                return false;
        }
        m_bFinished = true;
        return false;
    }

    // True when released, false when the server is being destroyed.
    bool WaitForRelease() {
        const HANDLE handles[2] = {m_hStop.get(), m_hRelease.get()};
        return ::WaitForMultipleObjects(2, handles, FALSE, kHoldCapMs) == WAIT_OBJECT_0 + 1;
    }

    static bool SendAll(SOCKET s, const char* pData, size_t nLength) {
        size_t nDone = 0;
        while (nDone < nLength) {
            const int n = ::send(s, pData + nDone, static_cast<int>(nLength - nDone), 0);
            if (n <= 0)
                return false;
            nDone += static_cast<size_t>(n);
        }
        return true;
    }

    std::vector<Script> m_scripts;
    std::vector<std::string> m_vecFirst;
    std::vector<std::string> m_vecRest;
    mutable std::mutex m_headsLock;
    std::vector<std::string> m_vecHeads;
    CvCommon::Handle::UniqueHandle m_hStop;
    CvCommon::Handle::UniqueHandle m_hRelease;
    SOCKET m_listener = INVALID_SOCKET;
    USHORT m_usPort = 0;
    std::thread m_thread;
    std::atomic<int> m_nRequests{0};
    std::atomic<bool> m_bFinished{false};
};

} // namespace nettest
