#pragma once
// Draws a bitmap resource into a control, the way the picture controls paint
// their background.

#include <windows.h>

namespace Ui {

// Copies the top-left client-sized part of bitmap nBitmapId (a resource of
// this module, loaded afresh on every call) to (0, 0) of hdc. False when the
// bitmap cannot be loaded or drawn.
bool DrawResourceBitmap(HWND hWnd, HDC hdc, UINT nBitmapId);

} // namespace Ui
