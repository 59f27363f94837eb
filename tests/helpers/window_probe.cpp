// Looks at the launcher's progress window from another process and acts on
// it as a user would. The window is found as the launcher's second instance
// finds it: a top-level window carrying a property of the instance name.
//
//   window_probe state NAME            one "key=value" line per fact
//   window_probe key NAME VK           posts a key press to the window
//   window_probe minimize NAME         minimises the window
//   window_probe move X Y              moves the pointer (screen pixels)
//   window_probe click X Y             moves the pointer there and clicks
//   window_probe drag X1 Y1 X2 Y2      presses at X1 Y1, moves, releases at X2 Y2
//   window_probe decoy STOP_FILE       shows a window in the foreground until
//                                      STOP_FILE exists
//
// Exit code 0, or 1 when the window is not found, 2 on bad arguments.

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr int kBar = 1005, kIcon = 1003, kText = 1004, kBanner = 1000, kClose = 1002;

HWND FindMarked(const wchar_t* pszName) {
    for (HWND hwnd = ::GetWindow(::GetDesktopWindow(), GW_CHILD); ::IsWindow(hwnd);
         hwnd = ::GetWindow(hwnd, GW_HWNDNEXT)) {
        if (::GetPropW(hwnd, pszName))
            return hwnd;
    }
    return nullptr;
}

// Asks the window's thread; a launcher that does not answer within five
// seconds shows as 0 rather than hanging the probe.
LRESULT Ask(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(hWnd, uMsg, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result))
        return 0;
    return static_cast<LRESULT>(result);
}

// A child's rectangle in the dialog's client coordinates: x,y,w,h.
void PrintChild(const char* pszKey, HWND hDlg, int id) {
    const HWND hChild = ::GetDlgItem(hDlg, id);
    RECT rc = {};
    ::GetWindowRect(hChild, &rc);
    ::MapWindowPoints(nullptr, hDlg, reinterpret_cast<POINT*>(&rc), 2);
    const bool bVisible = (::GetWindowLongPtrW(hChild, GWL_STYLE) & WS_VISIBLE) != 0;
    std::printf("%s=%d,%d,%d,%d\n%s_visible=%d\n", pszKey, static_cast<int>(rc.left),
                static_cast<int>(rc.top), static_cast<int>(rc.right - rc.left),
                static_cast<int>(rc.bottom - rc.top), pszKey, bVisible ? 1 : 0);
}

int PrintState(HWND hDlg) {
    RECT rc = {};
    ::GetWindowRect(hDlg, &rc);
    const LONG_PTR style = ::GetWindowLongPtrW(hDlg, GWL_STYLE);
    const LONG_PTR exStyle = ::GetWindowLongPtrW(hDlg, GWL_EXSTYLE);
    std::printf("found=1\n");
    std::printf("window=%d,%d,%d,%d\n", static_cast<int>(rc.left), static_cast<int>(rc.top),
                static_cast<int>(rc.right - rc.left), static_cast<int>(rc.bottom - rc.top));
    POINT origin = {0, 0};
    ::ClientToScreen(hDlg, &origin);
    std::printf("client_origin=%d,%d\n", static_cast<int>(origin.x), static_cast<int>(origin.y));
    std::printf("caption=%d\nframe=%d\n", (style & WS_CAPTION) == WS_CAPTION ? 1 : 0,
                (style & (WS_THICKFRAME | WS_BORDER | WS_DLGFRAME)) ? 1 : 0);
    std::printf("topmost=%d\ntoolwindow=%d\nappwindow=%d\n", (exStyle & WS_EX_TOPMOST) ? 1 : 0,
                (exStyle & WS_EX_TOOLWINDOW) ? 1 : 0, (exStyle & WS_EX_APPWINDOW) ? 1 : 0);
    std::printf("visible=%d\niconic=%d\nforeground=%d\n", ::IsWindowVisible(hDlg) ? 1 : 0,
                ::IsIconic(hDlg) ? 1 : 0, ::GetForegroundWindow() == hDlg ? 1 : 0);
    PrintChild("banner", hDlg, kBanner);
    PrintChild("close", hDlg, kClose);
    PrintChild("bar", hDlg, kBar);
    PrintChild("icon", hDlg, kIcon);
    PrintChild("text", hDlg, kText);
    std::printf("bar_pos=%d\n", static_cast<int>(Ask(::GetDlgItem(hDlg, kBar), PBM_GETPOS, 0, 0)));
    wchar_t szText[64] = {};
    Ask(::GetDlgItem(hDlg, kText), WM_GETTEXT, 64, reinterpret_cast<LPARAM>(szText));
    std::printf("error_text=%ls\n", szText);
    return 0;
}

// Pointer input as the hardware would send it, in screen pixels.
void SendMouse(int x, int y, DWORD dwFlags) {
    const int cx = ::GetSystemMetrics(SM_CXSCREEN), cy = ::GetSystemMetrics(SM_CYSCREEN);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = static_cast<LONG>((x * 65535LL + cx / 2) / (cx - 1));
    input.mi.dy = static_cast<LONG>((y * 65535LL + cy / 2) / (cy - 1));
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | dwFlags;
    ::SendInput(1, &input, sizeof(input));
    ::Sleep(30);
}

LRESULT CALLBACK DecoyProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(hwnd, uMsg, wParam, lParam);
}

int Decoy(const wchar_t* pszStopFile) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DecoyProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"WindowProbeDecoy";
    wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(GRAY_BRUSH));
    ::RegisterClassW(&wc);
    HWND hwnd = ::CreateWindowExW(0, wc.lpszClassName, L"decoy", WS_OVERLAPPEDWINDOW, 600, 500, 200,
                                  120, nullptr, nullptr, wc.hInstance, nullptr);
    ::ShowWindow(hwnd, SW_SHOWNORMAL);
    ::SetForegroundWindow(hwnd);
    const DWORD start = ::GetTickCount();
    while (::GetFileAttributesW(pszStopFile) == INVALID_FILE_ATTRIBUTES &&
           ::GetTickCount() - start < 120000) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    ::DestroyWindow(hwnd);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2)
        return 2;
    const std::wstring command = argv[1];
    const auto number = [&](int i) { return static_cast<int>(std::wcstol(argv[i], nullptr, 10)); };

    if (command == L"move" && argc == 4) {
        SendMouse(number(2), number(3), 0);
        return 0;
    }
    if (command == L"click" && argc == 4) {
        SendMouse(number(2), number(3), 0);
        SendMouse(number(2), number(3), MOUSEEVENTF_LEFTDOWN);
        SendMouse(number(2), number(3), MOUSEEVENTF_LEFTUP);
        return 0;
    }
    if (command == L"drag" && argc == 6) {
        const int x1 = number(2), y1 = number(3), x2 = number(4), y2 = number(5);
        SendMouse(x1, y1, 0);
        SendMouse(x1, y1, MOUSEEVENTF_LEFTDOWN);
        for (int step = 1; step <= 10; ++step)
            SendMouse(x1 + (x2 - x1) * step / 10, y1 + (y2 - y1) * step / 10, 0);
        SendMouse(x2, y2, MOUSEEVENTF_LEFTUP);
        return 0;
    }
    if (command == L"decoy" && argc == 3)
        return Decoy(argv[2]);
    if (argc < 3)
        return 2;

    const HWND hDlg = FindMarked(argv[2]);
    if (!hDlg) {
        std::printf("found=0\n");
        return 1;
    }
    if (command == L"state")
        return PrintState(hDlg);
    if (command == L"key" && argc == 4) {
        const WPARAM vk = static_cast<WPARAM>(number(3));
        ::PostMessageW(hDlg, WM_KEYDOWN, vk, 1);
        ::PostMessageW(hDlg, WM_KEYUP, vk, 0xC0000001);
        return 0;
    }
    if (command == L"close") {
        // What the system menu's Close and Alt+F4 send.
        ::PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    if (command == L"minimize") {
        ::ShowWindow(hDlg, SW_MINIMIZE);
        return 0;
    }
    return 2;
}
