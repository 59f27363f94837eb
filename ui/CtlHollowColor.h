#pragma once
// Mix-in of a dialog class: its static children draw their text without a
// background, so the dialog's own surface shows through.

#include <windows.h>

class CCtlHollowColor {
public:
    CCtlHollowColor() : m_hBrush(static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH))) {}

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

protected:
    // A stock object: the system owns it, so it is never deleted.
    HBRUSH m_hBrush;
};
