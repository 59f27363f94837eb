#pragma once
// Owners for the GDI and user objects of the progress window, built on the
// library's handle template.

#include "CvCommon/CvComn_Handle.h"

#include <windows.h>

namespace Ui {

// Brushes, bitmaps, fonts: anything DeleteObject releases.
template <typename T> struct GdiObjectTraits {
    using pointer = T;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::DeleteObject(h); }
};

// A device context made with CreateCompatibleDC.
struct MemoryDcTraits {
    using pointer = HDC;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::DeleteDC(h); }
};

// An icon loaded without LR_SHARED.
struct IconTraits {
    using pointer = HICON;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept { ::DestroyIcon(h); }
};

using UniqueBrush = CvCommon::Handle::UniqueAny<GdiObjectTraits<HBRUSH>>;
using UniqueBitmap = CvCommon::Handle::UniqueAny<GdiObjectTraits<HBITMAP>>;
using UniqueMemoryDc = CvCommon::Handle::UniqueAny<MemoryDcTraits>;
using UniqueIcon = CvCommon::Handle::UniqueAny<IconTraits>;

// Selects an object into a device context for the owner's lifetime and puts
// the previous one back at the end.
class SelectedObject {
public:
    SelectedObject(HDC hdc, HGDIOBJ hObject) noexcept
        : m_hdc(hdc), m_hPrevious(::SelectObject(hdc, hObject)) {}
    ~SelectedObject() {
        if (m_hPrevious && m_hPrevious != HGDI_ERROR)
            ::SelectObject(m_hdc, m_hPrevious);
    }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

    bool ok() const noexcept { return m_hPrevious && m_hPrevious != HGDI_ERROR; }

private:
    HDC m_hdc;
    HGDIOBJ m_hPrevious;
};

// The module that holds this code and its resources.
HINSTANCE ModuleInstance() noexcept;

} // namespace Ui
