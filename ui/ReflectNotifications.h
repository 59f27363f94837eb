#pragma once
// Sends notifications that a dialog did not handle back to the child control
// that raised them, as the reflected message (base + the original message).

#include <windows.h>

namespace Ui {

// Reflected messages are numbered from here (the OLE control convention).
constexpr UINT kReflectedMessageBase = WM_USER + 0x1C00;

// Reflects WM_COMMAND, WM_NOTIFY, WM_PARENTNOTIFY (create and destroy), the
// owner-draw and list messages, the scroll messages and the WM_CTLCOLOR family
// to the child that sent them. Returns TRUE with the child's answer in lResult,
// or FALSE when the message names no child.
BOOL ReflectNotifications(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

} // namespace Ui
