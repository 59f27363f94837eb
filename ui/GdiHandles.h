#pragma once
// The GDI owners of the progress window (from the library's handle family)
// and a scoped selection of an object into a device context.

#include "CvComn_Handle.h"

#include <windows.h>

namespace Ui {

using CvCommon::Handle::UniqueBitmap;
using CvCommon::Handle::UniqueBrush;
using CvCommon::Handle::UniqueIcon;
using CvCommon::Handle::UniqueMemoryDc;

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
