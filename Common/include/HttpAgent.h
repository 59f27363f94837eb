#pragma once
// Call objects of the analytics HTTP client: one call performs one complete
// request and builds and destroys its own HttpBase, so no handle outlives a
// call. A call object makes its WinHTTP calls through the WinHttpApi it was
// built with.

#include "WinHttpApi.h"

#include <json/json.h>

#include <windows.h>

#include <memory>
#include <string>

class HttpBase;

// An explicit proxy for a call; callers that pass none get the default
// proxy setting.
class ProxyProvider {
public:
    bool m_bUseProxy = false;
    int m_nPort = 0;
    std::wstring m_wstrHost;
};

// Result codes of HttpGeneric besides the HTTP status; all failures are
// positive, so a caller compares the result with the status it expects.
enum HttpResult : int {
    kHttpStatusUnavailable = -1,
    kHttpEmptyUrl = 0x10000001,
    kHttpOutOfMemory = 0x10000004,
    kHttpBodyConversion = 0x10040002,
    kHttpConnectFailed = 0x10040003,
    kHttpSendFailed = 0x10040004,
    kHttpReadFailed = 0x10040006,
    kHttpResponseConversion = 0x10040007,
};

class HttpGeneric {
public:
    explicit HttpGeneric(WinHttpApi& api = WinHttpApi::Platform());
    virtual ~HttpGeneric();
    HttpGeneric(const HttpGeneric&) = delete;
    HttpGeneric& operator=(const HttpGeneric&) = delete;

    // Performs the request and returns the HTTP status or a failure code.
    // requestProperties: "Method" (empty means GET), "IsBinaryRequest",
    // "IsBinaryResponse". headers: an object of names and values. The text
    // body is sent as UTF-8 and the response is read as UTF-8; in the binary
    // modes every character of the body carries one byte (0-255), and every
    // byte of the response becomes one character. pResponse may be null (the
    // body is then not read); pResponseProperties receives "Date" and
    // "Last-Modified" when the response has them.
    virtual int operator()(const std::wstring& wstrUrl, const std::wstring& wstrBody,
                           const Json::Value& requestProperties, const Json::Value& headers,
                           std::wstring* pResponse, Json::Value* pResponseProperties,
                           const ProxyProvider* pProxy);

    // All response headers of the last call that received a response.
    const std::wstring& ResponseHeaders() const { return m_wstrResponseHeaders; }

protected:
    WinHttpApi& m_api;
    std::unique_ptr<HttpBase> m_pHttp;
    std::wstring m_wstrResponseHeaders;
};

class HttpGetSimple : public HttpGeneric {
public:
    using HttpGeneric::HttpGeneric;

    // A GET without headers of the caller's own.
    int Get(const std::wstring& wstrUrl, const std::wstring& wstrBody, std::wstring* pResponse,
            const ProxyProvider* pProxy);
};
