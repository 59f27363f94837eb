#include "TransferSession.h"

#include "NetDebug.h"
#include "NetParse.h"
#include "ProxySettings.h"

#include "CvComn_Synchronize.h"

#include <algorithm>
#include <memory>
#include <new>

namespace {

using CvCommon::Synchronize::SingleLock;

constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpAccepted = 202;
constexpr DWORD kHttpFound = 302;

// A platform error as the negative result of a notification handler.
LONG NegativeFromError(DWORD dwError) {
    return static_cast<LONG>(0x80070000 | (dwError & 0xFFFF));
}

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

} // namespace

struct TransferSession::Request {
    // One reference for the session, one for WinHTTP once the request handle
    // carries this object as its context.
    volatile LONG lReferences = 1;
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
    bool bDone = false;
    bool bBodyEnded = false;
    DWORD dwTransferError = 0;
    std::wstring wstrLocation;
    std::wstring wstrContentDisposition;
    char readBuffer[kChunkSize] = {};

    void AddRef() { ::InterlockedIncrement(&lReferences); }
    void Release() {
        if (::InterlockedDecrement(&lReferences) == 0)
            delete this;
    }

    void Abandon() {
        SingleLock guard(&lock);
        bAbandoned = true;
    }

    // After the session is gone nobody reads the body or wants progress.
    void ReleaseResults() {
        SingleLock guard(&lock);
        body.Clear();
        progress.reset();
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
    // the transfer is still running) and returns it as a negative result.
    LONG Failure(DWORD dwError) {
        SingleLock guard(&lock);
        if (!bDone && dwTransferError == 0)
            dwTransferError = dwError ? dwError : ERROR_WINHTTP_INTERNAL_ERROR;
        return dwError ? NegativeFromError(dwError) : E_FAIL;
    }

    void SignalDone() {
        SingleLock guard(&lock);
        if (bDone)
            return;
        bDone = true;
        if (hDoneEvent)
            ::SetEvent(hDoneEvent.get());
    }

    LONG OnStatus(HINTERNET hRequest, DWORD dwStatus, LPVOID pvInfo, DWORD dwInfoLength);
    LONG WriteNextChunk(HINTERNET hRequest, DWORD dwJustWritten);
    LONG OnHeadersAvailable(HINTERNET hRequest);
    LONG OnDataRead(DWORD dwLength);
};

LONG TransferSession::Request::OnStatus(HINTERNET hRequest, DWORD dwStatus, LPVOID pvInfo,
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
            const LONG lResult = OnDataRead(dwInfoLength);
            if (lResult != 0)
                return lResult;
            if (!::WinHttpReadData(hRequest, readBuffer, kChunkSize, nullptr))
                return Failure(::GetLastError());
            return 0;
        }
        {
            SingleLock guard(&lock);
            if (!bDone)
                bBodyEnded = true;
        }
        SignalDone();
        return 0;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        DWORD dwError = ERROR_WINHTTP_INTERNAL_ERROR;
        if (pvInfo && dwInfoLength >= sizeof(WINHTTP_ASYNC_RESULT))
            dwError = static_cast<const WINHTTP_ASYNC_RESULT*>(pvInfo)->dwError;
        Failure(dwError);
        return E_FAIL;
    }
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        Failure(ERROR_WINHTTP_SECURE_FAILURE);
        return E_FAIL;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        return 0;
    default:
        return 1;
    }
}

LONG TransferSession::Request::WriteNextChunk(HINTERNET hRequest, DWORD dwJustWritten) {
    const char* pChunk = nullptr;
    DWORD cbChunk = 0;
    {
        SingleLock guard(&lock);
        if (bAbandoned)
            return 0;
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
        return 1;
    }
    if (!::WinHttpReceiveResponse(hRequest, nullptr))
        return Failure(::GetLastError());
    return 0;
}

LONG TransferSession::Request::OnHeadersAvailable(HINTERNET hRequest) {
    DWORD dwStatus = 0;
    DWORD cbNumber = sizeof(dwStatus);
    if (!::WinHttpQueryHeaders(hRequest, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &dwStatus, &cbNumber,
                               WINHTTP_NO_HEADER_INDEX))
        return Failure(::GetLastError());

    std::wstring wstrLocation;
    if (dwStatus == kHttpFound)
        QueryHeaderText(hRequest, WINHTTP_QUERY_LOCATION, wstrLocation);
    const bool bReadBody =
        dwStatus == kHttpOk || dwStatus == kHttpAccepted || dwStatus == kHttpFound;

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

    {
        SingleLock guard(&lock);
        if (bAbandoned)
            return 0;
        dwStatusCode = dwStatus;
        wstrLocation.swap(this->wstrLocation);
        if (!bReadBody)
            return E_FAIL;
        // The announced length only measures progress and completeness:
        // memory follows the bytes that arrive, never a header's promise.
        if (bHaveLength)
            this->dwContentLength = dwContentLength;
        wstrDisposition.swap(wstrContentDisposition);
    }
    if (!::WinHttpReadData(hRequest, readBuffer, kChunkSize, nullptr))
        return Failure(::GetLastError());
    return 0;
}

LONG TransferSession::Request::OnDataRead(DWORD dwLength) {
    std::shared_ptr<const ProgressCallback> receiver;
    DWORD dwPercent = 0;
    {
        SingleLock guard(&lock);
        if (bAbandoned || bDone)
            return 1; // nothing more is read
        if (!body.Append(readBuffer, std::min<DWORD>(dwLength, kChunkSize)))
            return Failure(ERROR_NOT_ENOUGH_MEMORY);
        if (!progress || !*progress || dwContentLength == 0)
            return 0;
        dwPercent = NetParse::ProgressPercent(body.Size(), dwContentLength);
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
    return 0;
}

void CALLBACK TransferSession::StatusCallback(HINTERNET hInternet, DWORD_PTR dwContext,
                                              DWORD dwStatus, LPVOID pvInfo, DWORD dwInfoLength) {
    Request* pRequest = reinterpret_cast<Request*>(dwContext);
    if (!pRequest)
        return;
    if (dwStatus == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        // The last notification of the request handle: WinHTTP lets go.
        pRequest->Release();
        return;
    }
    LONG lResult = 0;
    try {
        lResult = pRequest->OnStatus(hInternet, dwStatus, pvInfo, dwInfoLength);
    } catch (const std::bad_alloc&) {
        lResult = pRequest->Failure(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        lResult = pRequest->Failure(ERROR_WINHTTP_INTERNAL_ERROR);
    }
    if (lResult < 0)
        pRequest->SignalDone();
}

TransferSession::TransferSession() : TransferSession(DefaultTransferLimits()) {}

TransferSession::TransferSession(const TransferLimits& limits)
    : m_dwOpenFlags(0), m_ulPort(0), m_limits(limits), m_pRequest(new Request) {}

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
    m_pRequest->Release();
}

DWORD TransferSession::Open(const std::wstring& wstrUrl) {
    if (m_hSession)
        return ERROR_ALREADY_INITIALIZED;
    ProxySettings& proxy = ProxySettings::Instance();
    proxy.Discover(wstrUrl);
    if (proxy.m_bProxyFound) {
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

void TransferSession::SetProgressCallback(const ProgressCallback& progress) {
    std::shared_ptr<const ProgressCallback> receiver;
    if (progress)
        receiver = std::make_shared<const ProgressCallback>(progress);
    SingleLock guard(&m_pRequest->lock);
    m_pRequest->progress.swap(receiver);
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

    DWORD_PTR dwContext = reinterpret_cast<DWORD_PTR>(m_pRequest);
    if (!::WinHttpSetOption(m_hRequest.get(), WINHTTP_OPTION_CONTEXT_VALUE, &dwContext,
                            sizeof(dwContext)))
        return ::GetLastError();
    // From here on the handle's closing notification releases this reference.
    m_pRequest->AddRef();

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
                              WINHTTP_NO_REQUEST_DATA, 0, cbBody, 0))
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
    SingleLock guard(&m_pRequest->lock);
    wstrOut = m_pRequest->wstrLocation;
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
    if (request.dwContentLength > 0 && request.body.Size() != request.dwContentLength)
        return ERROR_WINHTTP_CONNECTION_ERROR;
    return 0;
}

const ResponseBody& TransferSession::Body() const {
    return m_pRequest->body;
}

std::wstring TransferSession::MakeFileName(const std::wstring& wstrUrl,
                                           const std::wstring& wstrDirectory,
                                           const std::wstring& wstrDefaultType) const {
    const std::wstring wstrDisposition = ContentDisposition();
    NetDebug::Text(wstrDisposition);
    NetDebug::Text(wstrUrl);
    NetDebug::Text(wstrDirectory);
    const std::wstring wstrName =
        NetParse::DownloadFileName(wstrDisposition, wstrUrl, wstrDefaultType);
    if (wstrName.empty())
        return wstrName;
    return wstrDirectory + L"\\" + wstrName;
}
