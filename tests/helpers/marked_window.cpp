// Stand-in for a running launcher: holds the single-instance semaphore and
// shows top-level windows that carry the instance-name property. It reports
// the state of its windows to a status file until a stop file appears.
//
//   marked_window.exe NAME iconic|normal COUNT STATUS_FILE

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::vector<HWND> g_marked;
HWND g_decoy = nullptr;
std::wstring g_status;

void WriteStatus() {
    std::wstring text = L"ready iconic=";
    for (size_t i = 0; i < g_marked.size(); ++i)
        text += (i ? L"," : L"") + std::to_wstring(::IsIconic(g_marked[i]) ? 1 : 0);
    const HWND foreground = ::GetForegroundWindow();
    int index = -1;
    for (size_t i = 0; i < g_marked.size(); ++i)
        if (g_marked[i] == foreground)
            index = static_cast<int>(i);
    text += L" foreground=" + std::to_wstring(index) + L"\n";

    const std::wstring temp = g_status + L".tmp";
    FILE* f = _wfopen(temp.c_str(), L"wb");
    if (!f)
        return;
    std::fputs(std::string(text.begin(), text.end()).c_str(), f);
    std::fclose(f);
    ::MoveFileExW(temp.c_str(), g_status.c_str(), MOVEFILE_REPLACE_EXISTING);
}

HWND MakeWindow(const wchar_t* title, int x) {
    return ::CreateWindowExW(0, L"MarkedWindowClass", title, WS_OVERLAPPEDWINDOW, x, 50, 200, 120,
                             nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5)
        return 2;
    const std::wstring name = argv[1];
    const bool iconic = std::wcscmp(argv[2], L"iconic") == 0;
    const int count = _wtoi(argv[3]);
    g_status = argv[4];

    HANDLE semaphore = ::CreateSemaphoreW(nullptr, 1, 1, name.c_str());
    if (!semaphore)
        return 3;

    WNDCLASSW wc = {};
    wc.lpfnWndProc = ::DefWindowProcW;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"MarkedWindowClass";
    ::RegisterClassW(&wc);

    for (int i = 0; i < count; ++i) {
        HWND hwnd = MakeWindow(L"marked", 20 + 220 * i);
        ::SetPropW(hwnd, name.c_str(), reinterpret_cast<HANDLE>(1));
        ::ShowWindow(hwnd, iconic ? SW_SHOWMINIMIZED : SW_SHOWNORMAL);
        g_marked.push_back(hwnd);
    }
    // An unmarked window on top, so that a marked one is not the foreground.
    g_decoy = MakeWindow(L"decoy", 500);
    ::ShowWindow(g_decoy, SW_SHOWNORMAL);
    ::SetForegroundWindow(g_decoy);

    const std::wstring stop = g_status + L".stop";
    const DWORD start = ::GetTickCount();
    while (::GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES &&
           ::GetTickCount() - start < 120000) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        WriteStatus();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    ::CloseHandle(semaphore);
    return 0;
}
