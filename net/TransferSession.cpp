#include "TransferSession.h"

#include "NetDebug.h"
#include "NetParse.h"
#include "ProxySettings.h"
#include "SecureFailure.h"

#include "CvComn_Synchronize.h"

#include <algorithm>
#include <memory>
#include <new>

namespace {

using CvCommon::Synchronize::SingleLock;

constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpAccepted = 202;
constexpr DWORD kHttpFound = 302;

constexpr DWORD kHttpPartial = 206;
// What a notification handler leaves behind: the transfer goes on (an
// operation is pending, or the notification asked nothing of it), or it has
// ended (a failure was recorded, or the response needs no more reading) and
// the waiting call is released.
enum class Step { Continue, End };

constexpr DWORD kHttpTooManyRequests = 429;
constexpr DWORD kHttpUnavailable = 503;

// A header value by the two-call rule: size first, then the text. Failures
// leave the output as it was. pszName names the header for
// WINHTTP_QUERY_CUSTOM.
void QueryHeaderText(HINTERNET hRequest, DWORD dwInfoLevel, std::wstring& wstrOut,
                     const wchar_t* pszName = WINHTTP_HEADER_NAME_BY_INDEX) {
    DWORD cbSize = 0;
    if (::WinHttpQueryHeaders(hRequest, dwInfoLevel, pszName, WINHTTP_NO_OUTPUT_BUFFER, &cbSize,
                              WINHTTP_NO_HEADER_INDEX))
        return;
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || cbSize == 0)
        return;
    const size_t cchBuffer = cbSize / sizeof(wchar_t) + 1;
    wchar_t* pszBuffer = new (std::nothrow) wchar_t[cchBuffer]();
    if (!pszBuffer)
        return;
    DWORD cbQuery = static_cast<DWORD>(cchBuffer * sizeof(wchar_t));
    if (::WinHttpQueryHeaders(hRequest, dwInfoLevel, pszName, pszBuffer, &cbQuery,
                              WINHTTP_NO_HEADER_INDEX)) {
        pszBuffer[cchBuffer - 1] = L'\0';
        wstrOut.assign(pszBuffer);
    }
    delete[] pszBuffer;
}

// A request that ended with a certificate error names it.
void LogCertificateError(DWORD dwError) {
    const std::wstring wstrCause = SecureFailure::ErrorMessage(dwError);
    if (!wstrCause.empty())
        NetDebug::Text(wstrCause);
}

// WinHTTP widens header bytes with the ANSI code page. A server that sends a
// Location in raw UTF-8 bytes gets it read as ANSI text; when the text maps
// back to the same bytes exactly and they are well-formed UTF-8, that is what
// was meant. Anything else stays as WinHTTP gave it.
std::wstring HeaderTextAsUtf8(const std::wstring& wstrHeader) {
    const bool bAscii =
        std::all_of(wstrHeader.begin(), wstrHeader.end(), [](wchar_t ch) { return ch < 0x80; });
    if (bAscii)
        return wstrHeader;
    const int cchHeader = static_cast<int>(wstrHeader.size());
    BOOL bDefaultUsed = FALSE;
    const int cbBytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wstrHeader.data(),
                                              cchHeader, nullptr, 0, nullptr, &bDefaultUsed);
    if (cbBytes <= 0 || bDefaultUsed)
        return wstrHeader;
    std::string strBytes(static_cast<size_t>(cbBytes), '\0');
    ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wstrHeader.data(), cchHeader, &strBytes[0],
                          cbBytes, nullptr, &bDefaultUsed);
    std::wstring wstrBack(wstrHeader.size(), L'\0');
    const int cchBack =
        ::MultiByteToWideChar(CP_ACP, 0, strBytes.data(), cbBytes, &wstrBack[0], cchHeader);
    std::wstring wstrUtf8;
    if (bDefaultUsed || cchBack != cchHeader || wstrBack != wstrHeader ||
        !NetParse::DecodeUtf8(strBytes, wstrUtf8))
        return wstrHeader;
    return wstrUtf8;
}

} // namespace

struct TransferSession::Request {
    CvCommon::Synchronize::CriticalSection lock;
    // Set when the session stops waiting; from then on notifications change
    // nothing and call nobody.
    bool bAbandoned = false;

    CvCommon::Handle::UniqueHandle hDoneEvent;
    std::string strRequestBody;
    DWORD dwBytesSent = 0;
    DWORD dwStatusCode = 0;
    DWORD dwContentLength = 0;
    ResponseBody body;
    // Shared with a report in progress, which holds its own reference while
    // it runs outside the lock.
    std::shared_ptr<const ProgressCallback> progress;
    // Progress reports running right now (at most one: one operation is
    // pending at a time).
    int nReceiverCalls = 0;
    // Set before the request goes out and never changed after: the
    // notifications read it without the lock. Lives with the request, so it
    // sees the handle's closing notification too.
    NotificationTrace trace;
    bool bDone = false;
    bool bBodyEnded = false;
    DWORD dwTransferError = 0;
    std::wstring wstrLocation;
    std::wstring wstrContentDisposition;
    ResponseValidators validators;
    std::wstring wstrRetryAfter;
    // The request handle's context value (WinHTTP's share of this state):
    // every WinHttpSendRequest passes it again, since the call sets the
    // context the notifications carry.
    DWORD_PTR dwContextValue = 0;
    // When set, the body goes there instead of into memory.
    BodySink* pSink = nullptr;
    // Largest body kept in memory.
    unsigned long ulMaxBodyBytes = 0xFFFFFFFFUL;
    // Body bytes of this response handed to the sink.
    unsigned long long ullSinkBytes = 0;
    // Set once a proxy's 407 was answered: a second one stands.
    bool bProxyAuthAnswered = false;
    char readBuffer[kChunkSize] = {};

    void Abandon() {
        SingleLock guard(&lock);
        bAbandoned = true;
    }

    // After the session is gone nobody reads the body or wants progress.
    void ReleaseResults() {
        SingleLock guard(&lock);
        body.Clear();
        progress.reset();
        pSink = nullptr;
    }

    // Once the request is abandoned no report starts; this waits up to dwMs
    // for one that started before. The report holds no lock, so it cannot be
    // held up by this wait.
    void WaitForReceiver(DWORD dwMs) {
        const DWORD dwStart = ::GetTickCount();
        for (;;) {
            {
                SingleLock guard(&lock);
                if (nReceiverCalls == 0)
                    return;
            }
            if (::GetTickCount() - dwStart >= dwMs)
                return;
            ::Sleep(5);
        }
    }

    // Records the error that ended the transfer (the first one, and only while
    // the transfer is still running).
    Step Failure(DWORD dwError) {
        SingleLock guard(&lock);
        if (!bDone && dwTransferError == 0)
            dwTransferError = dwError ? dwError : ERROR_WINHTTP_INTERNAL_ERROR;
        return Step::End;
    }

    void SignalDone() {
        SingleLock guard(&lock);
        if (bDone)
            return;
        bDone = true;
        if (hDoneEvent)
            ::SetEvent(hDoneEvent.get());
    }

    // Hands a notification to the trace, when there is one.
    void Trace(DWORD dwStatus, DWORD dwInfoLength) noexcept {
        if (!trace)
            return;
        try {
            trace(dwStatus, dwInfoLength);
        } catch (...) {
        }
    }

    Step OnStatus(HINTERNET hRequest, DWORD dwStatus, LPVOID pvInfo, DWORD dwInfoLength);
    Step WriteNextChunk(HINTERNET hRequest, DWORD dwJustWritten);
    Step OnHeadersAvailable(HINTERNET hRequest);
    Step OnDataRead(DWORD dwLength);
    // The body's share received so far, 0 to 100; call with the lock held.
    DWORD PercentLocked() const;
    bool AnswerProxyChallenge(HINTERNET hRequest);
};

Step TransferSession::Request::OnStatus(HINTERNET hRequest, DWORD dwStatus, LPVOID pvInfo,
                                        DWORD dwInfoLength) {
    switch (dwStatus) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        return WriteNextChunk(hRequest, 0);
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE: {
        DWORD dwWritten = 0;
        if (pvInfo && dwInfoLength >= sizeof(DWORD))
            dwWritten = *static_cast<const DWORD*>(pvInfo);
        return WriteNextChunk(hRequest, dwWritten);
    }
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        return OnHeadersAvailable(hRequest);
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        if (dwInfoLength > 0) {
            if (OnDataRead(dwInfoLength) == Step::End)
                return Step::End;
            if (!::WinHttpReadData(hRequest, readBuffer, kChunkSize, nullptr))
                return Failure(::GetLastError());
            return Step::Continue;
        }
        {
            SingleLock guard(&lock);
            if (!bDone)
                bBodyEnded = true;
        }
        return Step::End;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        DWORD dwError = ERROR_WINHTTP_INTERNAL_ERROR;
        if (pvInfo && dwInfoLength >= sizeof(WINHTTP_ASYNC_RESULT))
            dwError = static_cast<const WINHTTP_ASYNC_RESULT*>(pvInfo)->dwError;
        LogCertificateError(dwError);
        return Failure(dwError);
    }
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE: {
        // The reason comes as certificate flags, named in the log;
        // REQUEST_ERROR follows.
        DWORD dwFlags = 0;
        if (pvInfo && dwInfoLength >= sizeof(DWORD))
            dwFlags = *static_cast<const DWORD*>(pvInfo);
        NetDebug::Text(SecureFailure::Message(dwFlags));
        return Failure(ERROR_WINHTTP_SECURE_FAILURE);
    }
    default:
        return Step::Continue;
    }
}

Step TransferSession::Request::WriteNextChunk(HINTERNET hRequest, DWORD dwJustWritten) {
    const char* pChunk = nullptr;
    DWORD cbChunk = 0;
    {
        SingleLock guard(&lock);
        if (bAbandoned)
            return Step::Continue;
        dwBytesSent += dwJustWritten;
        const long long llRemaining =
            static_cast<long long>(strRequestBody.size()) - static_cast<long long>(dwBytesSent);
        if (llRemaining <= 0) {
            dwBytesSent = 0;
        } else {
            pChunk = strRequestBody.data() + dwBytesSent;
            cbChunk = static_cast<DWORD>(std::min<long long>(llRemaining, kChunkSize));
        }
    }
    if (cbChunk > 0) {
        if (!::WinHttpWriteData(hRequest, pChunk, cbChunk, nullptr))
            return Failure(::GetLastError());
        return Step::Continue;
    }
    if (!::WinHttpReceiveResponse(hRequest, nullptr))
        return Failure(::GetLastError());
    return Step::Continue;
}

Step TransferSession::Request::OnHeadersAvailable(HINTERNET hRequest) {
    DWORD dwStatus = 0;
    DWORD cbNumber = sizeof(dwStatus);
    if (!::WinHttpQueryHeaders(hRequest, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &dwStatus, &cbNumber,
                               WINHTTP_NO_HEADER_INDEX))
        return Failure(::GetLastError());
    if (dwStatus == HTTP_STATUS_PROXY_AUTH_REQ && AnswerProxyChallenge(hRequest))
        return Step::Continue;

    std::wstring wstrLocation;
    if (dwStatus == kHttpFound)
        QueryHeaderText(hRequest, WINHTTP_QUERY_LOCATION, wstrLocation);
    const bool bReadBody = dwStatus == kHttpOk || dwStatus == kHttpAccepted ||
                           dwStatus == kHttpFound || dwStatus == kHttpPartial;

    DWORD dwContentLength = 0;
    bool bHaveLength = false;
    std::wstring wstrDisposition;
    if (bReadBody) {
        cbNumber = sizeof(dwContentLength);
        bHaveLength = ::WinHttpQueryHeaders(
                          hRequest, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &dwContentLength, &cbNumber,
                          WINHTTP_NO_HEADER_INDEX) != FALSE;
        QueryHeaderText(hRequest, WINHTTP_QUERY_CONTENT_DISPOSITION, wstrDisposition);
        // Not every WinHTTP serves this header by its index (Wine's does
        // not); asking by name gives the same value everywhere.
        if (wstrDisposition.empty())
            QueryHeaderText(hRequest, WINHTTP_QUERY_CUSTOM, wstrDisposition,
                            L"Content-Disposition");
    }
    ResponseValidators found;
    if (dwStatus == kHttpOk || dwStatus == kHttpPartial) {
        QueryHeaderText(hRequest, WINHTTP_QUERY_ETAG, found.wstrETag);
        QueryHeaderText(hRequest, WINHTTP_QUERY_LAST_MODIFIED, found.wstrLastModified);
    }
    if (dwStatus == kHttpPartial)
        QueryHeaderText(hRequest, WINHTTP_QUERY_CONTENT_RANGE, found.wstrContentRange);
    std::wstring wstrRetry;
    if (dwStatus == kHttpTooManyRequests || dwStatus == kHttpUnavailable)
        QueryHeaderText(hRequest, WINHTTP_QUERY_RETRY_AFTER, wstrRetry);

    {
        SingleLock guard(&lock);
        if (bAbandoned)
            return Step::Continue;
        dwStatusCode = dwStatus;
        wstrLocation.swap(this->wstrLocation);
        validators = std::move(found);
        wstrRetryAfter.swap(wstrRetry);
        if (!bReadBody)
            return Step::End;
        // The announced length only measures progress and completeness:
        // memory follows the bytes that arrive, never a header's promise.
        if (bHaveLength)
            this->dwContentLength = dwContentLength;
        wstrDisposition.swap(wstrContentDisposition);
        if (pSink && (dwStatus == kHttpOk || dwStatus == kHttpPartial)) {
            const DWORD dwRefused = pSink->Begin(dwStatus, validators.wstrContentRange);
            if (dwRefused != 0) {
                dwTransferError = dwRefused;
                return Step::End;
            }
        }
    }
    if (!::WinHttpReadData(hRequest, readBuffer, kChunkSize, nullptr))
        return Failure(::GetLastError());
    return Step::Continue;
}

DWORD TransferSession::Request::PercentLocked() const {
    if (pSink) {
        const unsigned long long ullTotal = pSink->Total();
        if (ullTotal == 0 || ullTotal > 0xFFFFFFFFULL)
            return NetParse::ProgressPercent(ullSinkBytes, dwContentLength);
        return NetParse::ProgressPercent(pSink->Held(), static_cast<uint32_t>(ullTotal));
    }
    return NetParse::ProgressPercent(body.Size(), dwContentLength);
}

Step TransferSession::Request::OnDataRead(DWORD dwLength) {
    std::shared_ptr<const ProgressCallback> receiver;
    DWORD dwPercent = 0;
    {
        SingleLock guard(&lock);
        if (bAbandoned || bDone)
            return Step::End; // nothing more is read
        const DWORD cbPiece = std::min<DWORD>(dwLength, kChunkSize);
        if (pSink) {
            const DWORD dwError = pSink->Write(readBuffer, cbPiece);
            if (dwError != 0) {
                if (dwTransferError == 0)
                    dwTransferError = dwError;
                return Step::End;
            }
            ullSinkBytes += cbPiece;
        } else if (body.Size() + cbPiece > ulMaxBodyBytes) {
            if (dwTransferError == 0)
                dwTransferError = ERROR_FILE_TOO_LARGE;
            return Step::End;
        } else if (!body.Append(readBuffer, cbPiece)) {
            if (dwTransferError == 0)
                dwTransferError = ERROR_NOT_ENOUGH_MEMORY;
            return Step::End;
        }
        if (!progress || !*progress || (dwContentLength == 0 && !(pSink && pSink->Total())))
            return Step::Continue;
        dwPercent = PercentLocked();
        receiver = progress;
        ++nReceiverCalls;
    }

    // The receiver runs with no lock held: it may send a message to a window
    // whose thread calls into this session meanwhile.
    struct CallScope {
        Request& request;
        ~CallScope() {
            SingleLock guard(&request.lock);
            --request.nReceiverCalls;
        }
    } scope{*this};
    (*receiver)(dwPercent);
    return Step::Continue;
}

// A proxy asking for credentials (407) is answered once, on the same request
// handle, with the logged-on user's own credentials, and only through
// Negotiate or NTLM: nothing is ever sent in clear text. True when the request
// went out again; its notifications carry on from there. False when the 407
// stands, and then it ends the request as its HTTP status.
bool TransferSession::Request::AnswerProxyChallenge(HINTERNET hRequest) {
    DWORD cbBody = 0;
    {
        SingleLock guard(&lock);
        if (bAbandoned)
            return false;
        if (bProxyAuthAnswered) {
            NetDebug::Text(L"Proxy refused the logged-on user's credentials (407 again); "
                           L"giving up");
            return false;
        }
    }
    DWORD dwSupported = 0;
    DWORD dwFirst = 0;
    DWORD dwTarget = 0;
    if (!::WinHttpQueryAuthSchemes(hRequest, &dwSupported, &dwFirst, &dwTarget)) {
        NetDebug::Print(L"Proxy asks for credentials (407) but names no scheme we know, "
                        L"win error %u; giving up",
                        static_cast<unsigned>(::GetLastError()));
        return false;
    }
    DWORD dwScheme = 0;
    if (dwSupported & WINHTTP_AUTH_SCHEME_NEGOTIATE)
        dwScheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
    else if (dwSupported & WINHTTP_AUTH_SCHEME_NTLM)
        dwScheme = WINHTTP_AUTH_SCHEME_NTLM;
    if (dwTarget != WINHTTP_AUTH_TARGET_PROXY || dwScheme == 0) {
        NetDebug::Print(L"Proxy asks for credentials (407) by schemes 0x%x only, not Negotiate "
                        L"or NTLM; giving up",
                        static_cast<unsigned>(dwSupported));
        return false;
    }
    {
        SingleLock guard(&lock);
        bProxyAuthAnswered = true;
        // A request body goes out again from its start.
        dwBytesSent = 0;
        cbBody = static_cast<DWORD>(strRequestBody.size());
    }
    DWORD dwPolicy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
    if (!::WinHttpSetOption(hRequest, WINHTTP_OPTION_AUTOLOGON_POLICY, &dwPolicy,
                            sizeof(dwPolicy)) ||
        !::WinHttpSetCredentials(hRequest, WINHTTP_AUTH_TARGET_PROXY, dwScheme, nullptr, nullptr,
                                 nullptr)) {
        NetDebug::Print(L"Proxy credentials could not be set, win error %u; giving up",
                        static_cast<unsigned>(::GetLastError()));
        return false;
    }
    NetDebug::Print(L"Proxy asks for credentials (407); answering with the logged-on user's by %ls",
                    dwScheme == WINHTTP_AUTH_SCHEME_NEGOTIATE ? L"Negotiate" : L"NTLM");
    if (!::WinHttpSendRequest(hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                              0, cbBody, dwContextValue)) {
        Failure(::GetLastError());
        SignalDone();
    }
    return true;
}

void CALLBACK TransferSession::StatusCallback(HINTERNET hInternet, DWORD_PTR dwContext,
                                              DWORD dwStatus, LPVOID pvInfo, DWORD dwInfoLength) {
    // WinHTTP's own share of the request state (see OpenRequest).
    auto* pShare = reinterpret_cast<std::shared_ptr<Request>*>(dwContext);
    if (!pShare)
        return;
    Request* pRequest = pShare->get();
    pRequest->Trace(dwStatus, dwInfoLength);
    if (dwStatus == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        // The last notification of the request handle: WinHTTP lets go.
        delete pShare;
        return;
    }
    Step step = Step::Continue;
    try {
        step = pRequest->OnStatus(hInternet, dwStatus, pvInfo, dwInfoLength);
    } catch (const std::bad_alloc&) {
        step = pRequest->Failure(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        step = pRequest->Failure(ERROR_WINHTTP_INTERNAL_ERROR);
    }
    if (step == Step::End)
        pRequest->SignalDone();
}

TransferSession::TransferSession() : TransferSession(DefaultTransferLimits()) {}

TransferSession::TransferSession(const TransferLimits& limits)
    : m_dwOpenFlags(0), m_ulPort(0), m_limits(limits), m_pRequest(std::make_shared<Request>()) {}

TransferSession::~TransferSession() {
    // Late notifications of an abandoned request find the mark and do
    // nothing; the request state itself lives on until the handle's closing
    // notification. No lock is held while the handles close.
    m_pRequest->Abandon();
    m_pRequest->WaitForReceiver(kReceiverDrainMs);
    m_pRequest->ReleaseResults();
    m_hRequest.reset();
    m_hConnect.reset();
    m_hSession.reset();
}

DWORD TransferSession::Open(const std::wstring& wstrUrl) {
    if (m_hSession)
        return ERROR_ALREADY_INITIALIZED;
    // The current proxy candidate for the URL; a caller whose session could not
    // reach it fails over and opens a new session.
    ProxySettings& proxy = ProxySettings::Instance();
    proxy.Discover(wstrUrl);
    if (proxy.UsingProxy()) {
        const std::wstring wstrProxy =
            proxy.m_wstrProxyServer + L":" + std::to_wstring(proxy.m_nProxyPort);
        NetDebug::Text(wstrProxy);
        m_hSession.reset(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                                       wstrProxy.c_str(), WINHTTP_NO_PROXY_BYPASS,
                                       WINHTTP_FLAG_ASYNC));
    } else {
        m_hSession.reset(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                       WINHTTP_FLAG_ASYNC));
    }
    if (!m_hSession)
        return ::GetLastError();

    if (!ParseUrl(wstrUrl))
        return kUnusableUrl;
    NetDebug::Print(L"m_wstrServer: %ls, m_ulPort: %d", m_wstrServer.c_str(),
                    static_cast<int>(m_ulPort));

    m_hConnect.reset(::WinHttpConnect(m_hSession.get(), m_wstrServer.c_str(),
                                      static_cast<INTERNET_PORT>(m_ulPort & 0xFFFF), 0));
    if (!m_hConnect)
        return ::GetLastError();
    return 0;
}

bool TransferSession::ParseUrl(const std::wstring& wstrUrl) {
    NetParse::UrlParts parts;
    if (!NetParse::SplitUrl(wstrUrl, parts))
        return false;
    m_dwOpenFlags = parts.bSecure ? WINHTTP_FLAG_SECURE : 0;
    m_wstrServer.swap(parts.wstrServer);
    m_ulPort = parts.ulPort;
    m_wstrObject.swap(parts.wstrObject);
    return true;
}

void TransferSession::SetHeaders(const std::wstring& wstrHeaders) {
    m_wstrHeaders = wstrHeaders;
}

void TransferSession::SetBodySink(BodySink* pSink) {
    SingleLock guard(&m_pRequest->lock);
    m_pRequest->pSink = pSink;
}

void TransferSession::SetMaxBodyBytes(unsigned long ulMax) {
    SingleLock guard(&m_pRequest->lock);
    m_pRequest->ulMaxBodyBytes = ulMax;
}

void TransferSession::SetProgressCallback(const ProgressCallback& progress) {
    std::shared_ptr<const ProgressCallback> receiver;
    if (progress)
        receiver = std::make_shared<const ProgressCallback>(progress);
    SingleLock guard(&m_pRequest->lock);
    m_pRequest->progress.swap(receiver);
}

void TransferSession::SetNotificationTrace(const NotificationTrace& trace) {
    m_pRequest->trace = trace;
}

DWORD TransferSession::Post(const std::string& strBody) {
    if (m_bRequestOpened)
        return ERROR_ALREADY_INITIALIZED;
    if (IsStopRequested(m_limits))
        return ERROR_CANCELLED;
    {
        SingleLock guard(&m_pRequest->lock);
        m_pRequest->strRequestBody = strBody;
        m_pRequest->dwBytesSent = 0;
    }
    DWORD dwResult = OpenRequest(L"POST");
    if (dwResult == 0)
        dwResult = SendAndWait();
    return dwResult;
}

DWORD TransferSession::Get() {
    if (m_bRequestOpened)
        return ERROR_ALREADY_INITIALIZED;
    if (IsStopRequested(m_limits))
        return ERROR_CANCELLED;
    DWORD dwResult = OpenRequest(L"GET");
    if (dwResult == 0)
        dwResult = SendAndWait();
    return dwResult;
}

DWORD TransferSession::OpenRequest(const wchar_t* pszVerb) {
    if (!m_hConnect)
        return ERROR_INVALID_HANDLE;
    m_bRequestOpened = true;
    m_hRequest.reset(::WinHttpOpenRequest(m_hConnect.get(), pszVerb, m_wstrObject.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          m_dwOpenFlags));
    if (!m_hRequest)
        return ::GetLastError();

    if (::WinHttpSetStatusCallback(m_hRequest.get(), &TransferSession::StatusCallback,
                                   WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return ::GetLastError();

    // WinHTTP holds a share of the request state as the handle's context
    // until the handle's closing notification lets it go.
    auto pShare = std::make_unique<std::shared_ptr<Request>>(m_pRequest);
    DWORD_PTR dwContext = reinterpret_cast<DWORD_PTR>(pShare.get());
    if (!::WinHttpSetOption(m_hRequest.get(), WINHTTP_OPTION_CONTEXT_VALUE, &dwContext,
                            sizeof(dwContext)))
        return ::GetLastError();
    pShare.release();
    m_pRequest->dwContextValue = dwContext;

    DWORD dwDisable = WINHTTP_DISABLE_REDIRECTS;
    if (!::WinHttpSetOption(m_hRequest.get(), WINHTTP_OPTION_DISABLE_FEATURE, &dwDisable,
                            sizeof(dwDisable)))
        return ::GetLastError();

    if (m_wstrHeaders.empty())
        return 0;
    if (!::WinHttpAddRequestHeaders(m_hRequest.get(), m_wstrHeaders.c_str(),
                                    static_cast<DWORD>(m_wstrHeaders.size()),
                                    WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return ::GetLastError();
    return 0;
}

DWORD TransferSession::SendAndWait() {
    HANDLE hEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!hEvent)
        return ::GetLastError();
    DWORD cbBody = 0;
    {
        SingleLock guard(&m_pRequest->lock);
        m_pRequest->hDoneEvent.reset(hEvent);
        cbBody = static_cast<DWORD>(m_pRequest->strRequestBody.size());
    }

    const int nTimeout = static_cast<int>(m_limits.dwStackTimeoutMs);
    if (!::WinHttpSetTimeouts(m_hRequest.get(), nTimeout, nTimeout, nTimeout, nTimeout))
        return ::GetLastError();

    // A stop requested while the request was being prepared: nothing goes
    // out.
    if (IsStopRequested(m_limits))
        return ERROR_CANCELLED;
    if (!::WinHttpSendRequest(m_hRequest.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                              WINHTTP_NO_REQUEST_DATA, 0, cbBody, m_pRequest->dwContextValue))
        return ::GetLastError();

    const DWORD dwWait = WaitForTransfer(hEvent, m_limits);
    if (dwWait != 0)
        AbortRequest();
    return dwWait;
}

void TransferSession::AbortRequest() {
    m_pRequest->Abandon();
    // Closing the handle ends whatever WinHTTP has pending for the request;
    // its notifications from now on find the mark and change nothing.
    m_hRequest.reset();
    m_pRequest->WaitForReceiver(kReceiverDrainMs);
}

DWORD TransferSession::StatusCode() const {
    SingleLock guard(&m_pRequest->lock);
    return m_pRequest->dwStatusCode;
}

void TransferSession::Response(std::string& strOut) const {
    SingleLock guard(&m_pRequest->lock);
    m_pRequest->body.CopyTo(strOut);
}

void TransferSession::Location(std::wstring& wstrOut) const {
    std::wstring wstrHeader;
    {
        SingleLock guard(&m_pRequest->lock);
        wstrHeader = m_pRequest->wstrLocation;
    }
    wstrOut = HeaderTextAsUtf8(wstrHeader);
}

std::wstring TransferSession::ContentDisposition() const {
    SingleLock guard(&m_pRequest->lock);
    return m_pRequest->wstrContentDisposition;
}

DWORD TransferSession::ContentLength() const {
    SingleLock guard(&m_pRequest->lock);
    return m_pRequest->dwContentLength;
}

DWORD TransferSession::BodyError() const {
    SingleLock guard(&m_pRequest->lock);
    const Request& request = *m_pRequest;
    if (request.dwTransferError != 0)
        return request.dwTransferError;
    if (!request.bBodyEnded)
        return ERROR_WINHTTP_CONNECTION_ERROR;
    const unsigned long long ullReceived =
        request.pSink ? request.ullSinkBytes : request.body.Size();
    if (request.dwContentLength > 0 && ullReceived != request.dwContentLength)
        return ERROR_WINHTTP_CONNECTION_ERROR;
    return 0;
}

ResponseValidators TransferSession::Validators() const {
    SingleLock guard(&m_pRequest->lock);
    return m_pRequest->validators;
}

std::wstring TransferSession::RetryAfter() const {
    SingleLock guard(&m_pRequest->lock);
    return m_pRequest->wstrRetryAfter;
}

unsigned long long TransferSession::SinkBytes() const {
    SingleLock guard(&m_pRequest->lock);
    return m_pRequest->ullSinkBytes;
}

const ResponseBody& TransferSession::Body() const {
    return m_pRequest->body;
}
