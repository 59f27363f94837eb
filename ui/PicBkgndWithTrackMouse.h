#pragma once
// Mix-in of a bitmap button: shows one bitmap normally and another while the
// pointer rests on the control. Tracking is requested on the first mouse move
// and requested again after every leave.

#include "BitmapPainter.h"
#include "SubclassedWindow.h"

#include <commctrl.h>

template <class T> class CPicBkgndWithTrackMouse : public CSubclassedWindow {
public:
    // How long the pointer must rest before the hover bitmap shows, in ms.
    static constexpr DWORD kHoverTime = 10;

    CPicBkgndWithTrackMouse(UINT nHoverBitmapId, UINT nNormalBitmapId)
        : m_nHoverBitmapId(nHoverBitmapId), m_nNormalBitmapId(nNormalBitmapId),
          m_nCurrentBitmapId(nNormalBitmapId) {}

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM /*lParam*/,
                              LRESULT& lResult) override {
        switch (uMsg) {
        case WM_MOUSEMOVE:
            if (m_bTrackArmed) {
                TRACKMOUSEEVENT track = {sizeof(track), TME_HOVER | TME_LEAVE, hWnd, kHoverTime};
                ::TrackMouseEvent(&track);
                m_bTrackArmed = FALSE;
            }
            lResult = 0;
            return TRUE;
        case WM_MOUSEHOVER:
            m_nCurrentBitmapId = m_nHoverBitmapId;
            ::InvalidateRect(hWnd, nullptr, TRUE);
            lResult = 0;
            return TRUE;
        case WM_MOUSELEAVE:
            m_nCurrentBitmapId = m_nNormalBitmapId;
            m_bTrackArmed = TRUE;
            ::InvalidateRect(hWnd, nullptr, TRUE);
            lResult = 0;
            return TRUE;
        case WM_ERASEBKGND:
            Ui::DrawResourceBitmap(hWnd, reinterpret_cast<HDC>(wParam), m_nCurrentBitmapId);
            lResult = 1;
            return TRUE;
        default:
            return FALSE;
        }
    }

    UINT CurrentBitmapId() const { return m_nCurrentBitmapId; }
    bool TrackArmed() const { return m_bTrackArmed != FALSE; }

protected:
    BOOL m_bTrackArmed = TRUE;
    UINT m_nHoverBitmapId;
    UINT m_nNormalBitmapId;
    UINT m_nCurrentBitmapId;
};
