#include "WinHttpApi.h"

namespace {

class PlatformWinHttp final : public WinHttpApi {
public:
    constexpr PlatformWinHttp() = default;

    HINTERNET Open(LPCWSTR pszAgent, DWORD dwAccessType, LPCWSTR pszProxy, LPCWSTR pszBypass,
                   DWORD dwFlags) override {
        return ::WinHttpOpen(pszAgent, dwAccessType, pszProxy, pszBypass, dwFlags);
    }
    BOOL SetTimeouts(HINTERNET hSession, int nResolve, int nConnect, int nSend,
                     int nReceive) override {
        return ::WinHttpSetTimeouts(hSession, nResolve, nConnect, nSend, nReceive);
    }
    BOOL CrackUrl(LPCWSTR pszUrl, DWORD dwLength, DWORD dwFlags,
                  LPURL_COMPONENTS pComponents) override {
        return ::WinHttpCrackUrl(pszUrl, dwLength, dwFlags, pComponents);
    }
    HINTERNET Connect(HINTERNET hSession, LPCWSTR pszServer, INTERNET_PORT nPort,
                      DWORD dwReserved) override {
        return ::WinHttpConnect(hSession, pszServer, nPort, dwReserved);
    }
    HINTERNET OpenRequest(HINTERNET hConnect, LPCWSTR pszVerb, LPCWSTR pszObject,
                          LPCWSTR pszVersion, LPCWSTR pszReferrer, LPCWSTR* ppszAcceptTypes,
                          DWORD dwFlags) override {
        return ::WinHttpOpenRequest(hConnect, pszVerb, pszObject, pszVersion, pszReferrer,
                                    ppszAcceptTypes, dwFlags);
    }
    BOOL SetOption(HINTERNET hInternet, DWORD dwOption, LPVOID pBuffer, DWORD cbBuffer) override {
        return ::WinHttpSetOption(hInternet, dwOption, pBuffer, cbBuffer);
    }
    BOOL AddRequestHeaders(HINTERNET hRequest, LPCWSTR pszHeaders, DWORD cchHeaders,
                           DWORD dwModifiers) override {
        return ::WinHttpAddRequestHeaders(hRequest, pszHeaders, cchHeaders, dwModifiers);
    }
    BOOL SendRequest(HINTERNET hRequest, LPCWSTR pszHeaders, DWORD cchHeaders, LPVOID pOptional,
                     DWORD cbOptional, DWORD cbTotal, DWORD_PTR dwContext) override {
        return ::WinHttpSendRequest(hRequest, pszHeaders, cchHeaders, pOptional, cbOptional,
                                    cbTotal, dwContext);
    }
    BOOL ReceiveResponse(HINTERNET hRequest, LPVOID pReserved) override {
        return ::WinHttpReceiveResponse(hRequest, pReserved);
    }
    BOOL QueryDataAvailable(HINTERNET hRequest, LPDWORD pcbAvailable) override {
        return ::WinHttpQueryDataAvailable(hRequest, pcbAvailable);
    }
    BOOL ReadData(HINTERNET hRequest, LPVOID pBuffer, DWORD cbToRead, LPDWORD pcbRead) override {
        return ::WinHttpReadData(hRequest, pBuffer, cbToRead, pcbRead);
    }
    BOOL QueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pszName, LPVOID pBuffer,
                      LPDWORD pcbBuffer, LPDWORD pdwIndex) override {
        return ::WinHttpQueryHeaders(hRequest, dwInfoLevel, pszName, pBuffer, pcbBuffer, pdwIndex);
    }
};

} // namespace

WinHttpApi& WinHttpApi::Platform() {
    // Constant-initialized and trivially destructible: no guard on the first
    // call, and nothing runs at exit.
    static PlatformWinHttp s_platform;
    return s_platform;
}
