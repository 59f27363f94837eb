#pragma once
// A thin, blocking HTTP client over one WinHTTP session, connection and
// request, without a status callback. Every stage of a request (name
// resolution, connecting, sending, waiting for the response headers, each
// read of the body) is bounded by kStageTimeoutMs. Calling order for one
// request: Connect, AddHeader (any number), AddDataByMethod, Send,
// StatusCode, QueryData, then the header queries. Every WinHTTP call goes
// through the WinHttpApi it was made with.

#include "CvComn_Handle.h"
#include "WinHttpApi.h"

#include <windows.h>
#include <winhttp.h>

#include <map>
#include <string>

class ProxyProvider;

class HttpBase {
public:
    // The user agent of every session, exactly as sent.
    static constexpr const wchar_t* kUserAgent = L"CorvaneWinHttp/";
    // The limit of each stage of a request, in milliseconds. A collector that
    // accepts the connection and never answers fails the request after it.
    static constexpr DWORD kStageTimeoutMs = 4000;

    explicit HttpBase(WinHttpApi& api = WinHttpApi::Platform());
    virtual ~HttpBase();
    HttpBase(const HttpBase&) = delete;
    HttpBase& operator=(const HttpBase&) = delete;

    // Opens the session once: through the named proxy of pProxy when it is
    // given and enabled, else with the default proxy setting; sets the
    // resolve, connect, send and receive limits.
    bool IsInitialized(const ProxyProvider* pProxy);
    // Stores the URL, cracks it into host, port and object path (the rest of
    // the URL from the path on, query included) and opens the connection. A
    // connection made before is closed first.
    bool Connect(const std::wstring& wstrUrl, const ProxyProvider* pProxy);
    bool IsConnected() const { return m_hConnect.valid(); }
    // Closes the request and then the connection, when set.
    void CloseConnection();
    // Opens the request for pszPath (or the path of the URL when null) and
    // limits its wait for the response headers. A request opened before is
    // closed and its method, path, headers and body are discarded first.
    bool OpenRequest(const wchar_t* pszPath);
    // One entry per name; a later value replaces an earlier one. Headers are
    // sent in ascending order of their names.
    void AddHeader(const std::wstring& wstrName, const std::wstring& wstrValue);
    // Sets the verb and the body and adds a Content-Length header of the body
    // length (0 for an empty body).
    void AddDataByMethod(const std::wstring& wstrMethod, const char* pData, size_t cbLength);
    // Adds the headers, sends the request and waits for the response.
    bool Send();
    // Appends the whole response body to strOut.
    bool QueryData(std::string& strOut);
    // The status of the response, or -1 when it cannot be read.
    int StatusCode();
    // Response headers; empty when unavailable.
    std::wstring RawHeaders();
    std::wstring DateHeader();
    std::wstring ModifiedHeader();

private:
    WinHttpApi& m_api;
    CvCommon::Handle::UniqueWinHttp m_hSession;
    CvCommon::Handle::UniqueWinHttp m_hConnect;
    CvCommon::Handle::UniqueWinHttp m_hRequest;
    std::wstring m_wstrUrl;
    std::wstring m_wstrHost;
    std::wstring m_wstrPath;
    std::wstring m_wstrMethod;
    std::map<std::wstring, std::wstring> m_headers;
    std::string m_strBody;
    DWORD m_dwOpenFlags;
};
