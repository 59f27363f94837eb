#include "CtlHollowColor.h"

BOOL CCtlHollowColor::ProcessWindowMessage(HWND /*hWnd*/, UINT uMsg, WPARAM wParam,
                                           LPARAM /*lParam*/, LRESULT& lResult) {
    if (uMsg != WM_CTLCOLORSTATIC)
        return FALSE;
    ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    lResult = reinterpret_cast<LRESULT>(m_hBrush);
    return TRUE;
}
