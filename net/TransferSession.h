#pragma once
// One HTTP request over WinHTTP in asynchronous mode, turned into a blocking
// call: Open a URL, optionally set headers and a progress receiver, then Get or
// Post once. The call returns when the whole body is in memory, when the
// transfer failed, when the overall time limit ran out, or at once when the
// stop request of its limits is set. A session carries exactly one request
// and is destroyed after it.

#include "BodySink.h"
#include "ResponseBody.h"
#include "TransferLimits.h"
#include "WinHttpHandle.h"

#include <windows.h>
#include <winhttp.h>

#include <functional>
#include <memory>
#include <string>

// Receives the share of the body received so far, 0 to 100, once per chunk
// and only when the server announced the body's length. Called on a WinHTTP
// worker thread with no lock of the session held, so it may call back into
// the session or wait for threads that do.
typedef std::function<void(DWORD)> ProgressCallback;

// Sees every notification of the request handle as it arrives, before the
// session acts on it: its status and the length WinHTTP passed with it (for a
// READ_COMPLETE, the bytes read). HANDLE_CLOSING comes last, possibly after
// the session is gone. Called on WinHTTP's threads with no lock of the
// session held; whatever it throws is dropped. Set it before Get or Post.
typedef std::function<void(DWORD dwStatus, DWORD dwInfoLength)> NotificationTrace;

// What a response says about the resource's version, for resuming it.
struct ResponseValidators {
    std::wstring wstrETag;
    std::wstring wstrLastModified;
    // Of a 206 answer only.
    std::wstring wstrContentRange;
};

class TransferSession {
public:
    static constexpr DWORD kChunkSize = 8192;
    static constexpr const wchar_t* kUserAgent = L"DARuzedudavo";
    // Private code of a URL that cannot be split.
    static constexpr DWORD kUnusableUrl = 0xE0FF0008;
    // How long a request that ended early (stopped, or out of time) waits for
    // a progress report that is still running on a WinHTTP thread.
    static constexpr DWORD kReceiverDrainMs = 2000;

    // With DefaultTransferLimits().
    TransferSession();
    explicit TransferSession(const TransferLimits& limits);
    ~TransferSession();
    TransferSession(const TransferSession&) = delete;
    TransferSession& operator=(const TransferSession&) = delete;

    // Asks proxy discovery for the URL's proxy, opens the WinHTTP session
    // (through that proxy or with none), splits the URL and opens the
    // connection. 0, kUnusableUrl, or the platform error of the failed call.
    DWORD Open(const std::wstring& wstrUrl);

    // These must precede Get or Post.
    void SetHeaders(const std::wstring& wstrHeaders);
    void SetProgressCallback(const ProgressCallback& progress);
    void SetNotificationTrace(const NotificationTrace& trace);
    // The body of a 200 or 206 answer goes to the sink, not into memory. The
    // sink must outlive the session's Get.
    void SetBodySink(BodySink* pSink);
    // A body kept in memory that grows past this ends the transfer with
    // ERROR_FILE_TOO_LARGE.
    void SetMaxBodyBytes(unsigned long ulMax);

    // Send the request and wait for its end. 0 when the wait ended in time
    // (the outcome is in StatusCode and BodyError), 12029 when the time limit
    // ran out, ERROR_CANCELLED when the stop request was set (before the
    // request went out: nothing is sent), else the platform error of the
    // failed call. A request that ended early is aborted: its handle is
    // closed at once, no progress report starts any more, and one still
    // running is waited for up to kReceiverDrainMs.
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

    // ETag and Last-Modified of a 200 or 206 answer, and a 206's
    // Content-Range; empty where the server sent none.
    ResponseValidators Validators() const;
    // Retry-After of a 429 or 503 answer; empty when none came.
    std::wstring RetryAfter() const;
    // Body bytes of this response that went to the sink.
    unsigned long long SinkBytes() const;

    // The body as received; read it only after Get or Post returned 0.
    const ResponseBody& Body() const;

    const TransferLimits& Limits() const { return m_limits; }

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
    // Gives up the request in flight: marks it, closes its handle and waits
    // (bounded) for a progress report that is still running.
    void AbortRequest();

    UniqueWinHttpHandle m_hSession;
    UniqueWinHttpHandle m_hConnect;
    UniqueWinHttpHandle m_hRequest;
    DWORD m_dwOpenFlags;
    std::wstring m_wstrServer;
    ULONG m_ulPort;
    std::wstring m_wstrObject;
    std::wstring m_wstrHeaders;
    TransferLimits m_limits;
    // Set once Get or Post opened the request: a session carries one.
    bool m_bRequestOpened = false;
    std::shared_ptr<Request> m_pRequest;
};
