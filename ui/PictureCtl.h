#pragma once
// A static control that shows one bitmap resource as its background.

#include "SubclassedWindow.h"

class CPictureCtl : public CSubclassedWindow {
public:
    explicit CPictureCtl(UINT nBitmapId) : m_nBitmapId(nBitmapId) {}

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                              LRESULT& lResult) override;

    UINT BitmapId() const { return m_nBitmapId; }

private:
    UINT m_nBitmapId;
};
