// Performs one request with the analytics HTTP client and prints the outcome
// as one JSON object on stdout:
//   http_probe URL [--method M] [--body TEXT] [--header NAME=VALUE]...
//              [--proxy HOST:PORT] [--props] [--binary-response] [--no-response]
// {"result": n, "response": "...", "props": {...}, "responseHeaders": "..."}

#include "HttpAgent.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// UTF-8 of the whole text, zero characters included.
std::string Utf8(const std::wstring& wstr) {
    if (wstr.empty())
        return std::string();
    const int nLength = ::WideCharToMultiByte(
        CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()), nullptr, 0, nullptr, nullptr);
    std::string str(nLength > 0 ? nLength : 0, '\0');
    if (nLength > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()), &str[0],
                              nLength, nullptr, nullptr);
    return str;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs("usage: http_probe URL [options]\n", stderr);
        return 2;
    }
    Json::Value requestProperties(Json::objectValue);
    Json::Value headers;
    std::wstring wstrBody;
    ProxyProvider proxy;
    bool bProps = false;
    bool bResponse = true;
    for (int i = 2; i < argc; ++i) {
        const std::wstring wstrArg = argv[i];
        const std::wstring wstrNext = i + 1 < argc ? argv[i + 1] : L"";
        if (wstrArg == L"--method") {
            requestProperties["Method"] = Utf8(wstrNext);
            ++i;
        } else if (wstrArg == L"--body") {
            wstrBody = wstrNext;
            ++i;
        } else if (wstrArg == L"--header") {
            const size_t nEq = wstrNext.find(L'=');
            headers[Utf8(wstrNext.substr(0, nEq))] =
                nEq == std::wstring::npos ? "" : Utf8(wstrNext.substr(nEq + 1));
            ++i;
        } else if (wstrArg == L"--proxy") {
            const size_t nColon = wstrNext.rfind(L':');
            proxy.m_bUseProxy = true;
            proxy.m_wstrHost = wstrNext.substr(0, nColon);
            proxy.m_nPort = std::wcstol(wstrNext.c_str() + nColon + 1, nullptr, 10);
            ++i;
        } else if (wstrArg == L"--props") {
            bProps = true;
        } else if (wstrArg == L"--binary-response") {
            requestProperties["IsBinaryResponse"] = true;
        } else if (wstrArg == L"--no-response") {
            bResponse = false;
        }
    }

    HttpGeneric http;
    std::wstring wstrResponse;
    Json::Value responseProperties(Json::objectValue);
    const int nResult =
        http(argv[1], wstrBody, requestProperties, headers, bResponse ? &wstrResponse : nullptr,
             bProps ? &responseProperties : nullptr, proxy.m_bUseProxy ? &proxy : nullptr);

    Json::Value out(Json::objectValue);
    out["result"] = nResult;
    out["response"] = Utf8(wstrResponse);
    out["props"] = responseProperties;
    out["responseHeaders"] = Utf8(http.ResponseHeaders());
    Json::FastWriter writer;
    std::fputs(writer.write(out).c_str(), stdout);
    return 0;
}
