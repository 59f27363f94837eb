// The yardstick of the download benchmark: the plainest asynchronous WinHTTP
// GET, reading 8192 bytes at a time into memory, with no proxy discovery, no
// file and no naming. Prints its time and its private memory at the end
// (the body is still held then).
//
//   winhttp_reference HOST PORT OBJECT

#include <windows.h>
#include <psapi.h>
#include <winhttp.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Transfer {
    HANDLE hDone = nullptr;
    char buffer[8192];
    std::string body;
    DWORD dwStatus = 0;
    bool bFailed = false;
};

void CALLBACK Callback(HINTERNET hRequest, DWORD_PTR dwContext, DWORD dwStatus, LPVOID,
                       DWORD dwLength) {
    Transfer* pTransfer = reinterpret_cast<Transfer*>(dwContext);
    if (!pTransfer)
        return;
    switch (dwStatus) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        if (!::WinHttpReceiveResponse(hRequest, nullptr)) {
            pTransfer->bFailed = true;
            ::SetEvent(pTransfer->hDone);
        }
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
        DWORD cb = sizeof(pTransfer->dwStatus);
        ::WinHttpQueryHeaders(hRequest, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &pTransfer->dwStatus, &cb,
                              WINHTTP_NO_HEADER_INDEX);
        // Room for the whole body up front, so that growing it copies nothing.
        DWORD dwLength = 0;
        cb = sizeof(dwLength);
        if (::WinHttpQueryHeaders(
                hRequest, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &dwLength, &cb, WINHTTP_NO_HEADER_INDEX))
            pTransfer->body.reserve(dwLength);
        if (!::WinHttpReadData(hRequest, pTransfer->buffer, sizeof(pTransfer->buffer), nullptr)) {
            pTransfer->bFailed = true;
            ::SetEvent(pTransfer->hDone);
        }
        break;
    }
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        if (dwLength == 0) {
            ::SetEvent(pTransfer->hDone);
            break;
        }
        pTransfer->body.append(pTransfer->buffer, dwLength);
        if (!::WinHttpReadData(hRequest, pTransfer->buffer, sizeof(pTransfer->buffer), nullptr)) {
            pTransfer->bFailed = true;
            ::SetEvent(pTransfer->hDone);
        }
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        pTransfer->bFailed = true;
        ::SetEvent(pTransfer->hDone);
        break;
    default:
        break;
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: winhttp_reference HOST PORT OBJECT\n");
        return 2;
    }
    LARGE_INTEGER start, end, frequency;
    ::QueryPerformanceCounter(&start);
    Transfer* pTransfer = new Transfer();
    pTransfer->hDone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HINTERNET hSession =
        ::WinHttpOpen(L"reference", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                      WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    HINTERNET hConnect = ::WinHttpConnect(
        hSession, argv[1], static_cast<INTERNET_PORT>(std::wcstoul(argv[2], nullptr, 10)), 0);
    HINTERNET hRequest = ::WinHttpOpenRequest(hConnect, L"GET", argv[3], nullptr,
                                              WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
    ::WinHttpSetStatusCallback(hRequest, Callback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0);
    DWORD_PTR dwContext = reinterpret_cast<DWORD_PTR>(pTransfer);
    ::WinHttpSetOption(hRequest, WINHTTP_OPTION_CONTEXT_VALUE, &dwContext, sizeof(dwContext));
    if (!::WinHttpSendRequest(hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                              0, 0, 0)) {
        std::fprintf(stderr, "send failed: %lu\n", ::GetLastError());
        return 1;
    }
    ::WaitForSingleObject(pTransfer->hDone, INFINITE);
    ::QueryPerformanceCounter(&end);
    ::QueryPerformanceFrequency(&frequency);
    std::printf("status=%lu\n", pTransfer->dwStatus);
    std::printf("failed=%d\n", pTransfer->bFailed ? 1 : 0);
    std::printf("bytes=%lu\n", static_cast<unsigned long>(pTransfer->body.size()));
    std::printf("seconds=%.3f\n",
                static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)))
        std::printf("peak_pagefile=%lu\n", static_cast<unsigned long>(counters.PeakPagefileUsage));
    std::fflush(stdout);
    // The process ends here; the handles go with it.
    ::ExitProcess(pTransfer->bFailed ? 1 : 0);
}
