// A stand-in setup program: records the command line it was started with and
// the show state it was asked for, in "<own path>.record.txt", and exits.

#include <windows.h>

#include <cstdio>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    wchar_t szPath[MAX_PATH] = {};
    if (!::GetModuleFileNameW(nullptr, szPath, MAX_PATH))
        return 2;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    ::GetStartupInfoW(&startup);
    const int nShow = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

    const std::wstring wstrRecord = std::wstring(szPath) + L".record.txt";
    FILE* f = _wfopen(wstrRecord.c_str(), L"ab");
    if (!f)
        return 3;
    const std::wstring wstrLine =
        L"show=" + std::to_wstring(nShow) + L" cmdline=" + ::GetCommandLineW() + L"\n";
    char szUtf8[4096] = {};
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, wstrLine.c_str(), static_cast<int>(wstrLine.size()),
                              szUtf8, sizeof(szUtf8), nullptr, nullptr);
    std::fwrite(szUtf8, 1, n > 0 ? n : 0, f);
    std::fclose(f);
    return 0;
}
