#include "PictureCtl.h"

#include "BitmapPainter.h"

BOOL CPictureCtl::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM /*lParam*/,
                                       LRESULT& lResult) {
    if (uMsg != WM_ERASEBKGND)
        return FALSE;
    Ui::DrawResourceBitmap(hWnd, reinterpret_cast<HDC>(wParam), m_nBitmapId);
    lResult = 1;
    return TRUE;
}
