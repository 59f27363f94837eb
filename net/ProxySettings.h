#pragma once
// Which proxy serves a request URL, from the current user's Internet
// settings: a static proxy, else a proxy script named by URL, else automatic
// detection. A script given as a file:// URL is first run through the legacy
// script host (jsproxy.dll) with the resolver helpers below, then through
// WinHTTP. The last answer is kept in one process-wide record: the ordered
// candidates it names (proxies, and DIRECT where listed) and which of them is
// current.

#include "ProxyCandidates.h"

#include <windows.h>

#include <string>
#include <vector>

class ProxySettings {
public:
    static constexpr size_t kProxyTextBuffer = 2048;
    static constexpr size_t kScriptUrlBuffer = 1025;
    static constexpr DWORD kScriptAnswerSize = 1023;

    static ProxySettings& Instance();

    // Finds the proxy candidates for the URL. The current one is the first
    // that no failover of this run gave up (all given up: the list starts
    // over). 0 and m_bProxyFound set, with host and port, when the current
    // candidate is a proxy; ERROR_INVALID_DATA (13) and m_bProxyFound false
    // when the connection goes direct.
    DWORD Discover(const std::wstring& wstrUrl);

    // The candidate the next session uses; after a failure to reach it,
    // FailOver() makes the next one current and returns true, or returns false
    // when none is left. The one that worked stays current for the rest of the
    // run.
    bool FailOver();
    bool UsingProxy() const; // the current candidate is a proxy (not DIRECT / none)

    // What Discover does with the proxy text it found (empty: none): takes
    // its candidates and makes the first one that was not given up current.
    // Returns what Discover returns.
    DWORD UseProxyText(const std::wstring& wstrText);

    // Leaves the proxy text for the URL in pszOut (cchOut characters, zero-
    // filled by the caller); an empty text means no proxy, and so does a text
    // that does not fit. False only for a null or empty URL or when no
    // discovery session can be opened.
    static bool FindProxyForUrl(const wchar_t* pszUrl, wchar_t* pszOut, size_t cchOut);

    // Runs the script at strScriptUrl through jsproxy.dll for strUrl and copies
    // its answer into pszAnswer (cbAnswer bytes including the terminator). 0 on
    // success, -1 on any failure, also for a URL, host or answer that does not
    // fit its buffer.
    static int QueryAutoProxyDll(std::string strUrl, std::string strScriptUrl, char* pszAnswer,
                                 DWORD cbAnswer);

    // Resolver helpers handed to the script host (narrow texts).
    static BOOL WINAPI IsResolvable(LPSTR pszHost);
    static DWORD WINAPI GetIPAddress(LPSTR pszOut, LPDWORD pcbOut);
    static DWORD WINAPI ResolveHostName(LPSTR pszHost, LPSTR pszOut, LPDWORD pcbOut);
    static BOOL WINAPI IsInNet(LPSTR pszAddress, LPSTR pszNetwork, LPSTR pszMask);

    std::wstring m_wstrProxyServer;
    int m_nProxyPort = 0;
    bool m_bProxyFound = false;

private:
    // Copies the current candidate into the public fields; returns what
    // Discover returns.
    DWORD SelectCurrent();

    ProxyCandidates m_candidates;
};
