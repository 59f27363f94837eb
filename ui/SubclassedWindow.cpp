#include "SubclassedWindow.h"

#include <commctrl.h>

CSubclassedWindow::~CSubclassedWindow() {
    UnsubclassWindow();
}

BOOL CSubclassedWindow::SubclassWindow(HWND hWnd) {
    if (m_hWnd || !::IsWindow(hWnd))
        return FALSE;
    if (!::SetWindowSubclass(hWnd, SubclassProc, reinterpret_cast<UINT_PTR>(this),
                             reinterpret_cast<DWORD_PTR>(this)))
        return FALSE;
    m_hWnd = hWnd;
    return TRUE;
}

HWND CSubclassedWindow::UnsubclassWindow() {
    const HWND hWnd = m_hWnd;
    if (!hWnd)
        return nullptr;
    ::RemoveWindowSubclass(hWnd, SubclassProc, reinterpret_cast<UINT_PTR>(this));
    m_hWnd = nullptr;
    return hWnd;
}

LRESULT CALLBACK CSubclassedWindow::SubclassProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                                 UINT_PTR uIdSubclass, DWORD_PTR dwRefData) {
    auto* pThis = reinterpret_cast<CSubclassedWindow*>(dwRefData);
    LRESULT lResult = 0;
    BOOL bHandled = FALSE;
    // Nothing may leave a window procedure by exception: a failing handler
    // leaves the message to the window's own procedure.
    try {
        bHandled = pThis->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
    } catch (...) {
        ::OutputDebugStringW(L"control message handler failed");
        bHandled = FALSE;
    }
    if (uMsg != WM_NCDESTROY)
        return bHandled ? lResult : ::DefSubclassProc(hWnd, uMsg, wParam, lParam);

    // The window's last message: detach, let the window finish, then tell the object.
    ::RemoveWindowSubclass(hWnd, SubclassProc, uIdSubclass);
    pThis->m_hWnd = nullptr;
    if (!bHandled)
        lResult = ::DefSubclassProc(hWnd, uMsg, wParam, lParam);
    try {
        pThis->OnFinalMessage(hWnd);
    } catch (...) {
        ::OutputDebugStringW(L"control final message handler failed");
    }
    return lResult;
}
