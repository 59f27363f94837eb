#include "WindowRunObserver.h"

#include "ProgressMessages.h"

void WindowRunObserver::OnProgress(int nPercent) {
    // The address is valid only during the synchronous send.
    INT32 nValue = nPercent;
    ::SendMessageW(Window(), WM_DOWNLOAD_PROGRESS, reinterpret_cast<WPARAM>(&nValue), 0);
}

void WindowRunObserver::OnFailed(ResultCode code) {
    ::SendMessageW(Window(), WM_DOWNLOAD_FAILED, reinterpret_cast<WPARAM>(&code), 0);
}

void WindowRunObserver::OnDone() {
    ::SendMessageW(Window(), WM_DOWNLOAD_DONE, 0, 0);
}

void WindowRunObserver::OnHide() {
    m_bHidden.store(true);
    const HWND hWnd = Window();
    if (!hWnd)
        return;
    const LONG_PTR style = ::GetWindowLongPtrW(hWnd, GWL_EXSTYLE);
    ::SetWindowLongPtrW(hWnd, GWL_EXSTYLE, (style & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    ::SetWindowPos(hWnd, nullptr, -1000, -1000, 0, 0, SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
}
