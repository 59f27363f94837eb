#pragma once
// The run's observer for the progress window: every report becomes one of the
// window's messages, sent synchronously, so the pointed-to values stay valid
// while the window handles them; the window sets the stop request when the
// user closes it. Shared between the window and its worker thread, so that a
// worker still finishing after the window has gone touches nothing freed.

#include "CvComn_RunObserver.h"

#include <windows.h>

#include <atomic>

class WindowRunObserver : public CvCommon::RunObserver {
public:
    // From now on reports go to hWnd; null drops them.
    void Attach(HWND hWnd) noexcept { m_hWnd.store(hWnd); }
    HWND Window() const noexcept { return m_hWnd.load(); }

    void OnProgress(int nPercent) override;
    void OnFailed(ResultCode code) override;
    void OnDone() override;
    // The window leaves the taskbar and is resized to nothing where it stands.
    void OnHide() override;
    const CvCommon::Synchronize::CancelSignal& Cancel() const override { return m_cancel; }

    // The user closed the window: the run should stop.
    void RequestStop() noexcept { m_cancel.Set(); }
    // The run asked to be hidden; it then shows no failure either.
    bool Hidden() const noexcept { return m_bHidden.load(); }

private:
    std::atomic<HWND> m_hWnd{nullptr};
    std::atomic<bool> m_bHidden{false};
    CvCommon::Synchronize::CancelSignal m_cancel;
};
