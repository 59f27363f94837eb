// Walks the proxy candidates of the prefix's settings the way a caller's
// retry loop does, for the end-to-end tests. Prints key=value lines.
//
//   proxy_driver failover URL
//
// Each attempt opens a new session and sends a GET through the current
// candidate; a failure to reach it (12029 from the send, or a failed Open)
// fails over, at most four attempts. A last discovery shows which candidate
// stays current.

#include "ProxySettings.h"
#include "TransferSession.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Narrow(const std::wstring& wstr) {
    std::string str;
    for (wchar_t ch : wstr)
        str += ch < 0x80 ? static_cast<char>(ch) : '?';
    return str;
}

std::string Current(const ProxySettings& proxy) {
    if (!proxy.UsingProxy())
        return "DIRECT";
    return Narrow(proxy.m_wstrProxyServer) + ":" + std::to_string(proxy.m_nProxyPort);
}

int Failover(const std::wstring& wstrUrl) {
    ProxySettings& proxy = ProxySettings::Instance();
    for (int nAttempt = 1; nAttempt <= 4; ++nAttempt) {
        TransferSession session;
        const DWORD dwOpen = session.Open(wstrUrl);
        const DWORD dwSend = dwOpen == 0 ? session.Get() : dwOpen;
        std::printf("attempt%d=%s send=%lu status=%lu body=%lu\n", nAttempt, Current(proxy).c_str(),
                    static_cast<unsigned long>(dwSend),
                    static_cast<unsigned long>(session.StatusCode()),
                    static_cast<unsigned long>(session.Body().Size()));
        // An answer came: the proxy was reached. A refused proxy ends the
        // request with no status, whether the wait itself reports it or not.
        if (dwOpen == 0 && session.StatusCode() != 0)
            break;
        if (!proxy.FailOver()) {
            std::printf("failover=none\n");
            break;
        }
    }
    proxy.Discover(wstrUrl);
    std::printf("after=%s\n", Current(proxy).c_str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 || std::wstring(argv[1]) != L"failover") {
        std::fprintf(stderr, "usage: proxy_driver failover URL\n");
        return 2;
    }
    const int nExit = Failover(argv[2]);
    std::fflush(stdout);
    return nExit;
}
