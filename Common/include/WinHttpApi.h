#pragma once
// The WinHTTP calls of the blocking analytics client, behind one small
// interface: HttpBase makes every call through it. Platform() is WinHTTP
// itself; a test hands a client an implementation of its own that observes,
// passes on or refuses each call. Every function keeps the contract of the
// WinHTTP function of its name: a failure leaves its code in GetLastError().
// The handles a client receives are closed by their owners with
// WinHttpCloseHandle, so an implementation hands out real WinHTTP handles.

#include <windows.h>
#include <winhttp.h>

class WinHttpApi {
public:
    // WinHTTP itself; keeps no state, so every thread may share it, and is
    // never destroyed, so a send still running at exit may go on using it.
    static WinHttpApi& Platform();

    virtual HINTERNET Open(LPCWSTR pszAgent, DWORD dwAccessType, LPCWSTR pszProxy,
                           LPCWSTR pszBypass, DWORD dwFlags) = 0;
    virtual BOOL SetTimeouts(HINTERNET hSession, int nResolve, int nConnect, int nSend,
                             int nReceive) = 0;
    virtual BOOL CrackUrl(LPCWSTR pszUrl, DWORD dwLength, DWORD dwFlags,
                          LPURL_COMPONENTS pComponents) = 0;
    virtual HINTERNET Connect(HINTERNET hSession, LPCWSTR pszServer, INTERNET_PORT nPort,
                              DWORD dwReserved) = 0;
    virtual HINTERNET OpenRequest(HINTERNET hConnect, LPCWSTR pszVerb, LPCWSTR pszObject,
                                  LPCWSTR pszVersion, LPCWSTR pszReferrer, LPCWSTR* ppszAcceptTypes,
                                  DWORD dwFlags) = 0;
    virtual BOOL SetOption(HINTERNET hInternet, DWORD dwOption, LPVOID pBuffer, DWORD cbBuffer) = 0;
    virtual BOOL AddRequestHeaders(HINTERNET hRequest, LPCWSTR pszHeaders, DWORD cchHeaders,
                                   DWORD dwModifiers) = 0;
    virtual BOOL SendRequest(HINTERNET hRequest, LPCWSTR pszHeaders, DWORD cchHeaders,
                             LPVOID pOptional, DWORD cbOptional, DWORD cbTotal,
                             DWORD_PTR dwContext) = 0;
    virtual BOOL ReceiveResponse(HINTERNET hRequest, LPVOID pReserved) = 0;
    virtual BOOL QueryDataAvailable(HINTERNET hRequest, LPDWORD pcbAvailable) = 0;
    virtual BOOL ReadData(HINTERNET hRequest, LPVOID pBuffer, DWORD cbToRead, LPDWORD pcbRead) = 0;
    virtual BOOL QueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pszName,
                              LPVOID pBuffer, LPDWORD pcbBuffer, LPDWORD pdwIndex) = 0;

protected:
    // Nobody deletes an implementation through this interface.
    ~WinHttpApi() = default;
};
