#include "BitmapPainter.h"

#include "GdiHandles.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace Ui {

HINSTANCE ModuleInstance() noexcept {
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

bool DrawResourceBitmap(HWND hWnd, HDC hdc, UINT nBitmapId) {
    RECT rcClient = {};
    if (!::GetClientRect(hWnd, &rcClient))
        return false;
    UniqueMemoryDc memoryDc(::CreateCompatibleDC(hdc));
    if (!memoryDc)
        return false;
    UniqueBitmap bitmap(::LoadBitmapW(ModuleInstance(), MAKEINTRESOURCEW(nBitmapId)));
    if (!bitmap)
        return false;
    // Declared after the bitmap, so the previous object is back in place
    // before the bitmap and the memory context are deleted.
    SelectedObject selected(memoryDc.get(), bitmap.get());
    if (!selected.ok())
        return false;
    return ::BitBlt(hdc, 0, 0, rcClient.right - rcClient.left, rcClient.bottom - rcClient.top,
                    memoryDc.get(), 0, 0, SRCCOPY) != FALSE;
}

} // namespace Ui
