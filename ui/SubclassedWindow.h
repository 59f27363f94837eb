#pragma once
// Base of the progress window's controls: attaches an object to an existing
// child window through the common controls' subclassing, and routes every
// message of that window through the object's message map first.

#include <windows.h>

class CSubclassedWindow {
public:
    CSubclassedWindow() = default;
    CSubclassedWindow(const CSubclassedWindow&) = delete;
    CSubclassedWindow& operator=(const CSubclassedWindow&) = delete;

    // The message map: returns TRUE with lResult set for a message it handled,
    // FALSE to let the window's own procedure have it.
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                      LRESULT& lResult) = 0;
    // Detaches from a window that is still there.
    virtual ~CSubclassedWindow();

    // Attaches to hWnd; FALSE (nothing changed) when already attached, when
    // hWnd is no window, or when the subclass cannot be installed.
    BOOL SubclassWindow(HWND hWnd);
    // Detaches and returns the window, or null when not attached.
    HWND UnsubclassWindow();

    HWND m_hWnd = nullptr;

protected:
    // Called after the window's last message (WM_NCDESTROY), once detached.
    virtual void OnFinalMessage(HWND /*hWnd*/) {}

private:
    static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR uIdSubclass, DWORD_PTR dwRefData);
};
