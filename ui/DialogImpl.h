#pragma once
// A modal dialog from a dialog template resource, with the messages routed to
// the derived class's message map (T::ProcessWindowMessage, T::IDD).

#include "GdiHandles.h"

#include <windows.h>

template <class T> class CDialogImpl {
public:
    CDialogImpl() = default;
    CDialogImpl(const CDialogImpl&) = delete;
    CDialogImpl& operator=(const CDialogImpl&) = delete;

    // Runs the dialog until it ends; returns the value given to EndDialog, or
    // -1 when the dialog cannot be created. dwInitParam reaches the map's
    // WM_INITDIALOG as lParam.
    INT_PTR DoModal(HWND hWndParent = ::GetActiveWindow(), LPARAM dwInitParam = 0) {
        if (m_hWnd)
            return -1;
        m_dwInitParam = dwInitParam;
        return ::DialogBoxParamW(Ui::ModuleInstance(), MAKEINTRESOURCEW(T::IDD), hWndParent,
                                 DialogProc, reinterpret_cast<LPARAM>(this));
    }

    BOOL EndDialog(INT_PTR nRetCode) { return ::EndDialog(m_hWnd, nRetCode); }

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
        CDialogImpl* pThis = nullptr;
        if (uMsg == WM_INITDIALOG) {
            pThis = reinterpret_cast<CDialogImpl*>(lParam);
            ::SetWindowLongPtrW(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(pThis));
            pThis->m_hWnd = hWnd;
            lParam = pThis->m_dwInitParam;
        } else {
            // Messages before WM_INITDIALOG (WM_SETFONT) find no object yet.
            pThis = reinterpret_cast<CDialogImpl*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
        }
        if (!pThis)
            return FALSE;

        LRESULT lResult = 0;
        BOOL bHandled = FALSE;
        // Nothing may leave a window procedure by exception: a failing handler
        // leaves the message to the dialog manager's defaults.
        try {
            bHandled =
                static_cast<T*>(pThis)->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult);
        } catch (...) {
            ::OutputDebugStringW(L"dialog message handler failed");
            bHandled = FALSE;
        }
        if (uMsg == WM_NCDESTROY) {
            ::SetWindowLongPtrW(hWnd, DWLP_USER, 0);
            pThis->m_hWnd = nullptr;
        }
        if (!bHandled)
            return FALSE;

        switch (uMsg) {
        // These answer through the procedure's own result.
        case WM_COMPAREITEM:
        case WM_VKEYTOITEM:
        case WM_CHARTOITEM:
        case WM_INITDIALOG:
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return static_cast<INT_PTR>(lResult);
        default:
            ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, lResult);
            return TRUE;
        }
    }

    LPARAM m_dwInitParam = 0;
};
