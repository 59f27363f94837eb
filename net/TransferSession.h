#pragma once
// One HTTP request over WinHTTP in asynchronous mode, turned into a blocking
// call: Open a URL, optionally set headers and a progress receiver, then Get or
// Post once. The call returns when the whole body is in memory, when the
// transfer failed, or when the overall time limit ran out. A session carries
// exactly one request and is destroyed after it.

#include "ResponseBody.h"
#include "WinHttpHandle.h"

#include "CvCommon/CvComn_Synchronize.h"

#include <windows.h>
#include <winhttp.h>

#include <functional>
#include <string>

// Receives the share of the body received so far, 0 to 100. Called on a
// WinHTTP worker thread.
typedef std::function<void(DWORD)> ProgressCallback;

// Time limits of one request. Tests shorten them; the program uses the
// defaults.
struct TransferLimits {
    static constexpr DWORD kDefaultWaitMs = 300000;
    static constexpr DWORD kDefaultStackTimeoutMs = 75000;

    // The whole request, body included.
    DWORD dwWaitMs = kDefaultWaitMs;
    // Each of WinHTTP's resolve, connect, send and receive time-outs.
    DWORD dwStackTimeoutMs = kDefaultStackTimeoutMs;
    // The run's stop request, when there is one: once set, the request in
    // flight is aborted and the call returns ERROR_CANCELLED.
    const CvCommon::Synchronize::CancelSignal* pCancel = nullptr;
};

class TransferSession {
public:
    static constexpr DWORD kChunkSize = 8192;
    static constexpr const wchar_t* kUserAgent = L"DARuzedudavo";
    // Private code of a URL that cannot be split.
    static constexpr DWORD kUnusableUrl = 0xE0FF0008;

    TransferSession();
    explicit TransferSession(const TransferLimits& limits);
    ~TransferSession();
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // Asks proxy discovery for the URL's proxy, opens the WinHTTP session
    // (through that proxy or with none), splits the URL and opens the
    // connection. 0, kUnusableUrl, or the platform error of the failed call.
    DWORD Open(const std::wstring& wstrUrl);

    // Both must precede Get or Post.
    void SetHeaders(const std::wstring& wstrHeaders);
    void SetProgressCallback(const ProgressCallback& progress);

    // Send the request and wait for its end. 0 when the wait ended in time
    // (the outcome is in StatusCode and BodyError), 12029 when the time limit
    // ran out, else the platform error of the failed call.
    DWORD Post(const std::string& strBody);
    DWORD Get();

    // The HTTP status; 0 when no response headers arrived.
    DWORD StatusCode() const;
    void Response(std::string& strOut) const;
    void Location(std::wstring& wstrOut) const;
    std::wstring ContentDisposition() const;
    DWORD ContentLength() const;

    // 0 when the body arrived whole: its end was reached, nothing failed on
    // the way and it matches an announced length. Otherwise the platform
    // error that broke it off (12030 for a body shorter than announced).
    DWORD BodyError() const;

    // The body as received; read it only after Get or Post returned 0.
    const ResponseBody& Body() const;

    // Path of the first candidate file for this response inside wstrDirectory
    // (see NetParse::DownloadFileName); empty when no usable name exists.
    // Numbering of taken names happens when the file is created.
    std::wstring MakeFileName(const std::wstring& wstrUrl, const std::wstring& wstrDirectory,
                              const std::wstring& wstrDefaultType) const;

    // The parts of the URL that Open split off.
    DWORD OpenFlags() const { return m_dwOpenFlags; }
    const std::wstring& Server() const { return m_wstrServer; }
    ULONG Port() const { return m_ulPort; }
    const std::wstring& Object() const { return m_wstrObject; }

    // Registered with WinHTTP; the context is the request state.
    static void CALLBACK StatusCallback(HINTERNET hInternet, DWORD_PTR dwContext, DWORD dwStatus,
                                        LPVOID pvInfo, DWORD dwInfoLength);

private:
    // Everything that WinHTTP's notifications touch. It is shared with
    // WinHTTP and lives until both the session and the request handle's
    // closing notification have let go of it.
    struct Request;

    bool ParseUrl(const std::wstring& wstrUrl);
    DWORD OpenRequest(const wchar_t* pszVerb);
    DWORD SendAndWait();

    UniqueWinHttpHandle m_hSession;
    UniqueWinHttpHandle m_hConnect;
    UniqueWinHttpHandle m_hRequest;
    DWORD m_dwOpenFlags;
    std::wstring m_wstrServer;
    ULONG m_ulPort;
    std::wstring m_wstrObject;
    std::wstring m_wstrHeaders;
    TransferLimits m_limits;
    Request* m_pRequest;
};
