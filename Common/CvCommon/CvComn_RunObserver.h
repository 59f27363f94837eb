#pragma once
// Where a run and whoever shows it meet: the run reports progress, its end
// or its failure, and asks to be hidden; it reads the stop request between
// its steps and hands it to its transfers. The run's side defines what it
// needs here; a window (or nothing, in a silent run) provides it.

#include "CvComn_Synchronize.h"
#include "ResultCode.h"

namespace CvCommon {

class RunObserver {
public:
    virtual ~RunObserver() = default;

    // The whole run's progress, 0 to 100. May be called on any thread.
    virtual void OnProgress(int nPercent) = 0;
    // The run failed with a code worth showing.
    virtual void OnFailed(ResultCode code) = 0;
    // The run has ended (well, or with nothing to show).
    virtual void OnDone() = 0;
    // The run was asked to work unseen: leave the taskbar, shrink to nothing.
    virtual void OnHide() = 0;

    // Set when the run should stop as soon as it can.
    virtual const Synchronize::CancelSignal& Cancel() const = 0;
};

// Watches nothing and never asks to stop: the silent run's observer.
class NullRunObserver : public RunObserver {
public:
    void OnProgress(int) override {}
    void OnFailed(ResultCode) override {}
    void OnDone() override {}
    void OnHide() override {}
    const Synchronize::CancelSignal& Cancel() const override { return m_cancel; }

private:
    Synchronize::CancelSignal m_cancel;
};

} // namespace CvCommon
