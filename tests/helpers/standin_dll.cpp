// A stand-in for a system DLL, built under that DLL's name: when any process
// loads it, it adds its name to the file that STANDIN_DLL_LOG names.
#include <windows.h>

#ifndef STANDIN_NAME
#error STANDIN_NAME must name the DLL this stands in for
#endif

// What every export of the stand-in leads to.
extern "C" int standin_stub() {
    return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t szLog[MAX_PATH];
    const DWORD cch = ::GetEnvironmentVariableW(L"STANDIN_DLL_LOG", szLog, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return TRUE;
    HANDLE hLog = ::CreateFileW(szLog, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hLog == INVALID_HANDLE_VALUE)
        return TRUE;
    static const char kLine[] = STANDIN_NAME "\n";
    DWORD dwWritten = 0;
    ::WriteFile(hLog, kLine, sizeof(kLine) - 1, &dwWritten, nullptr);
    ::CloseHandle(hLog);
    return TRUE;
}
