#include "HttpBase.h"

#include "CvComn_BoundedFormat.h"
#include "CvComn_Log.h"
#include "CvComn_String.h"
#include "HttpAgent.h"

#include <cwchar>
#include <memory>
#include <new>
#include <vector>

using CvCommon::Log::LevelError;
using CvCommon::Log::LevelInfo;
using CvCommon::Log::LevelTrace;

namespace {

const DWORD kReadChunk = 16384;
const size_t kProxyTextSize = 2048;
// Buffer of the Date and Last-Modified queries, in wide characters; the byte
// length handed to the query is the same number, so up to 255 characters fit.
const size_t kDateBufferChars = 512;

} // namespace

HttpBase::HttpBase(WinHttpApi& api) : m_api(api), m_dwOpenFlags(0) {}

HttpBase::~HttpBase() {
    m_hRequest.reset();
    m_hConnect.reset();
    m_hSession.reset();
}

bool HttpBase::IsInitialized(const ProxyProvider* pProxy) {
    if (m_hSession)
        return true;

    wchar_t szProxy[kProxyTextSize] = {};
    if (pProxy == nullptr || !pProxy->m_bUseProxy) {
        CVLOG(LevelInfo, L"HttpBase::IsInitialized: No proxy setting, connect directly..");
    } else {
        CVLOG(LevelInfo,
              L"HttpBase::IsInitialized: Use proxy setting feteched from ProxyProvider.");
        // Truncates a longer text; the buffer always ends with a zero.
        CvCommon::String::FormatTruncated(szProxy, kProxyTextSize, L"%ls:%d",
                                          pProxy->m_wstrHost.c_str(), pProxy->m_nPort);
    }
    const bool bNamedProxy = szProxy[0] != L'\0';
    CVLOG(LevelInfo, L"HttpBase::IsInitialized: proxy information: %ls",
          bNamedProxy ? szProxy : static_cast<const wchar_t*>(nullptr));

    m_hSession.reset(m_api.Open(
        kUserAgent,
        bNamedProxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
        bNamedProxy ? szProxy : WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!m_hSession) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"HttpBase::IsInitialized: WinHttpOpen() failed: error = %d", dwError);
        return false;
    }
    // Without the limits a request still runs, bounded only by the
    // platform's defaults; its caller's own waits keep it from holding anyone.
    const int nTimeout = static_cast<int>(kStageTimeoutMs);
    if (!m_api.SetTimeouts(m_hSession.get(), nTimeout, nTimeout, nTimeout, nTimeout)) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"HttpBase::IsInitialized: WinHttpSetTimeouts() failed: error = %d",
              dwError);
    }
    return true;
}

bool HttpBase::Connect(const std::wstring& wstrUrl, const ProxyProvider* pProxy) {
    m_wstrUrl = wstrUrl;
    if (!IsInitialized(pProxy)) {
        CVLOG(LevelError, L"Internet not initialized.");
        return false;
    }
    if (IsConnected())
        CloseConnection();

    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof(components);
    components.dwHostNameLength = static_cast<DWORD>(-1);
    components.dwUrlPathLength = static_cast<DWORD>(-1);
    if (!m_api.CrackUrl(m_wstrUrl.c_str(), 0, 0, &components)) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"WinHttpCrackUrl() failed: error = %d", dwError);
        return false;
    }
    if (components.lpszHostName != nullptr)
        m_wstrHost.assign(components.lpszHostName, components.dwHostNameLength);
    else
        m_wstrHost.clear();
    // The path runs to the end of the URL, so the query stays in it.
    if (components.lpszUrlPath != nullptr)
        m_wstrPath.assign(components.lpszUrlPath);
    else
        m_wstrPath.clear();
    m_dwOpenFlags = components.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;

    CVLOG(LevelTrace, L"WinHttpConnect() - %ls:%d", m_wstrHost.c_str(),
          static_cast<int>(components.nPort));
    m_hConnect.reset(m_api.Connect(m_hSession.get(), m_wstrHost.c_str(), components.nPort, 0));
    if (!m_hConnect) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"WinHttpConnect() failed: error = %d", dwError);
        return false;
    }
    return true;
}

void HttpBase::CloseConnection() {
    m_hRequest.reset();
    m_hConnect.reset();
}

bool HttpBase::OpenRequest(const wchar_t* pszPath) {
    if (m_hRequest) {
        m_hRequest.reset();
        m_wstrMethod.clear();
        m_wstrPath.clear();
        m_headers.clear();
        m_strBody.clear();
    }
    if (pszPath != nullptr)
        m_wstrPath = pszPath;
    if (m_wstrPath.empty())
        m_wstrPath = L"/";
    if (m_wstrMethod.empty())
        m_wstrMethod = L"GET";

    m_hRequest.reset(m_api.OpenRequest(m_hConnect.get(), m_wstrMethod.c_str(), m_wstrPath.c_str(),
                                       nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       m_dwOpenFlags));
    if (!m_hRequest) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"WinHttpOpenRequest() failed: error = %d", dwError);
        return false;
    }
    // The wait for the response headers has a limit of its own (90 s by
    // default), which the session's time-outs do not set.
    DWORD dwTimeout = kStageTimeoutMs;
    if (!m_api.SetOption(m_hRequest.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &dwTimeout,
                         sizeof(dwTimeout))) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"HttpBase::OpenRequest: WinHttpSetOption() failed: error = %d", dwError);
    }
    return true;
}

void HttpBase::AddHeader(const std::wstring& wstrName, const std::wstring& wstrValue) {
    try {
        m_headers[wstrName] = wstrValue;
    } catch (const std::bad_alloc&) {
        CVLOG(LevelError, L"HttpBase::AddHeader: Out of memory.");
    }
}

void HttpBase::AddDataByMethod(const std::wstring& wstrMethod, const char* pData, size_t cbLength) {
    try {
        m_wstrMethod = wstrMethod;
        if (pData != nullptr)
            m_strBody.assign(pData, cbLength);
        else
            m_strBody.clear();
        std::wstring wstrLength;
        CvCommon::String::ULongToString(static_cast<unsigned long>(m_strBody.size()), 10,
                                        wstrLength);
        m_headers[L"Content-Length"] = wstrLength;
    } catch (const std::bad_alloc&) {
        CVLOG(LevelError, L"HttpBase::AddDataByMethod: Out of memory.");
        return;
    }
    CVLOG(LevelTrace, L"HttpBase::AddDataByMethod: (%ls) %d bytes added", wstrMethod.c_str(),
          static_cast<int>(m_strBody.size()));
}

bool HttpBase::Send() {
    if (!IsConnected())
        return false;
    if (!m_hRequest && !OpenRequest(nullptr))
        return false;

    for (const auto& header : m_headers) {
        const std::wstring wstrLine = header.first + L": " + header.second;
        if (!m_api.AddRequestHeaders(m_hRequest.get(), wstrLine.c_str(),
                                     static_cast<DWORD>(wstrLine.size()),
                                     WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) {
            const DWORD dwError = ::GetLastError();
            CVLOG(LevelError, L"HttpBase::Send: WinHttpAddRequestHeaders() failed: error = %d",
                  dwError);
            return false;
        }
    }

    const DWORD cbBody = static_cast<DWORD>(m_strBody.size());
    void* pBody = cbBody != 0 ? const_cast<char*>(m_strBody.data()) : WINHTTP_NO_REQUEST_DATA;
    if (!m_api.SendRequest(m_hRequest.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, pBody, cbBody,
                           cbBody, 0)) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"HttpBase::Send: WinHttpSendRequest() failed: error = %d", dwError);
        return false;
    }
    if (!m_api.ReceiveResponse(m_hRequest.get(), nullptr)) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"HttpBase::Send: WinHttpReceiveResponse() failed: error = %d", dwError);
        return false;
    }
    return true;
}

bool HttpBase::QueryData(std::string& strOut) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadChunk]);
    if (!buffer)
        return false;
    for (;;) {
        DWORD dwAvailable = 0;
        if (!m_api.QueryDataAvailable(m_hRequest.get(), &dwAvailable)) {
            const DWORD dwError = ::GetLastError();
            CVLOG(LevelInfo, L"HttpBase::QueryData: WinHttpQueryDataAvailable() failed: error = %d",
                  dwError);
            return false;
        }
        if (dwAvailable == 0)
            return true;
        while (dwAvailable > 0) {
            DWORD dwRead = 0;
            if (!m_api.ReadData(m_hRequest.get(), buffer.get(), kReadChunk, &dwRead)) {
                const DWORD dwError = ::GetLastError();
                CVLOG(LevelError, L"HttpBase::QueryData: WinHttpReadData() failed: error = %d",
                      dwError);
                return false;
            }
            if (dwRead == 0)
                return true;
            try {
                strOut.append(buffer.get(), dwRead);
            } catch (const std::bad_alloc&) {
                return false;
            }
            dwAvailable = dwRead < dwAvailable ? dwAvailable - dwRead : 0;
        }
    }
}

int HttpBase::StatusCode() {
    if (!m_hRequest)
        return -1;
    DWORD cbSize = 0;
    m_api.QueryHeaders(m_hRequest.get(), WINHTTP_QUERY_STATUS_CODE, WINHTTP_HEADER_NAME_BY_INDEX,
                       WINHTTP_NO_OUTPUT_BUFFER, &cbSize, WINHTTP_NO_HEADER_INDEX);
    // One character more than asked for, so the text always ends with a zero.
    const size_t nChars = cbSize / sizeof(wchar_t) + 1;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[nChars]());
    if (!buffer)
        return -1;
    if (!m_api.QueryHeaders(m_hRequest.get(), WINHTTP_QUERY_STATUS_CODE,
                            WINHTTP_HEADER_NAME_BY_INDEX, buffer.get(), &cbSize,
                            WINHTTP_NO_HEADER_INDEX)) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"WinHttpQueryHeaders() failed: error = %d", dwError);
        return -1;
    }
    return static_cast<int>(std::wcstol(buffer.get(), nullptr, 10));
}

std::wstring HttpBase::RawHeaders() {
    if (!m_hRequest)
        return std::wstring();
    DWORD cbSize = 0;
    if (!m_api.QueryHeaders(m_hRequest.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF,
                            WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &cbSize,
                            WINHTTP_NO_HEADER_INDEX)) {
        const DWORD dwError = ::GetLastError();
        if (dwError != ERROR_INSUFFICIENT_BUFFER)
            return std::wstring();
    }
    // Twice the reported size in bytes, zeroed: room for the text and its end.
    DWORD cbBuffer = cbSize * 2;
    std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[cbBuffer / sizeof(wchar_t) + 1]());
    if (!buffer)
        return std::wstring();
    if (!m_api.QueryHeaders(m_hRequest.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF,
                            WINHTTP_HEADER_NAME_BY_INDEX, buffer.get(), &cbBuffer,
                            WINHTTP_NO_HEADER_INDEX))
        return std::wstring();
    return std::wstring(buffer.get());
}

std::wstring HttpBase::DateHeader() {
    if (!m_hRequest)
        return std::wstring();
    wchar_t szValue[kDateBufferChars] = {};
    DWORD cbValue = kDateBufferChars;
    if (!m_api.QueryHeaders(m_hRequest.get(), WINHTTP_QUERY_DATE, WINHTTP_HEADER_NAME_BY_INDEX,
                            szValue, &cbValue, WINHTTP_NO_HEADER_INDEX)) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelError, L"WinHttpQueryHeaders() failed: error = %d", dwError);
        return std::wstring();
    }
    return std::wstring(szValue);
}

std::wstring HttpBase::ModifiedHeader() {
    if (!m_hRequest)
        return std::wstring();
    wchar_t szValue[kDateBufferChars] = {};
    DWORD cbValue = kDateBufferChars;
    if (!m_api.QueryHeaders(m_hRequest.get(), WINHTTP_QUERY_LAST_MODIFIED,
                            WINHTTP_HEADER_NAME_BY_INDEX, szValue, &cbValue,
                            WINHTTP_NO_HEADER_INDEX)) {
        const DWORD dwError = ::GetLastError();
        CVLOG(LevelTrace, L"WinHttpQueryHeaders() failed: %08x\n", dwError);
        return std::wstring();
    }
    return std::wstring(szValue);
}
