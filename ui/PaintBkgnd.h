#pragma once
// Mix-in of a window class: paints the window's client area in one colour
// when its background is erased.

#include "GdiHandles.h"

template <class T, COLORREF t_crBrushColor> class CPaintBkgnd {
public:
    CPaintBkgnd() : m_hBrush(::CreateSolidBrush(t_crBrushColor)) {}
    CPaintBkgnd(const CPaintBkgnd&) = delete;
    CPaintBkgnd& operator=(const CPaintBkgnd&) = delete;

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM /*lParam*/,
                              LRESULT& lResult) {
        if (uMsg != WM_ERASEBKGND)
            return FALSE;
        RECT rcClient = {};
        ::GetClientRect(hWnd, &rcClient);
        ::FillRect(reinterpret_cast<HDC>(wParam), &rcClient, m_hBrush.get());
        lResult = 1;
        return TRUE;
    }

protected:
    Ui::UniqueBrush m_hBrush;
};
