// Entry point: the single-instance guard, the platform libraries the progress
// window needs, the choice between the silent and the windowed run, and a
// bounded end: the run's worker and the analytics queue get a fixed time to
// finish, and a process whose threads did not stop in time is ended as it is.

#include "CvComn_SystemLibrary.h"
#include "InstanceGuard.h"
#include "LaunchWorkflow.h"
#include "LauncherConfig.h"
#include "LauncherGlobals.h"
#include "MainDlg.h"
#include "RunMode.h"

#include "CvComn_HResult.h"
#include "CvComn_Handle.h"
#include "EventDispatcher.h"
#include "util_CrashHandler.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <string>

namespace {

// After the window closed: how long the worker may take to stop.
constexpr DWORD kWorkerStopBoundMs = 1500;
// How long undelivered analytics events may hold the exit: after a run, and
// after the user closed the window (who expects it gone at once).
constexpr DWORD kDrainAtExitMs = 4000;
constexpr DWORD kDrainAfterCloseMs = 300;

void DebugMessage(const wchar_t* pszText) {
    ::OutputDebugStringW(pszText);
}

const wchar_t* GuardMessage(InstanceGuardResult result) {
    switch (result) {
    case InstanceGuardResult::NoGuard:
        return L"Single instance: no instance name, guard off";
    case InstanceGuardResult::FirstInstance:
        return L"Single instance: first instance";
    case InstanceGuardResult::AlreadyRunning:
        return L"Single instance: another launcher is running, exiting";
    }
    return L"";
}

// How the run ended, for the bounded end of the process.
struct RunEnd {
    int nExitCode = 0;
    bool bStopRequested = false;
    bool bWorkerStopped = true;
};

RunEnd RunSilent(const std::wstring& wstrCmdLine) {
    g_bSilentRun = true;
    DebugMessage(L"Run mode: silent");
    // The run's outcome shows only in its events and debugger output; nothing
    // it throws ends the process outside the crash handler.
    try {
        LaunchWorkflow::Instance().Run(wstrCmdLine);
    } catch (...) {
        DebugMessage(L"the silent run failed with an exception");
    }
    return RunEnd();
}

RunEnd RunWindowed(const std::wstring& wstrCmdLine, const std::wstring& wstrInstanceName) {
    DebugMessage(L"Run mode: windowed");
    RunEnd end;
    CMainDlg dialog(wstrInstanceName, [wstrCmdLine](CvCommon::RunObserver& observer) {
        return LaunchWorkflow::Instance().Run(wstrCmdLine, observer);
    });
    end.nExitCode = static_cast<int>(dialog.DoModal(::GetActiveWindow(), 0));
    end.bStopRequested = dialog.StopRequested();
    end.bWorkerStopped = dialog.WaitForWorker(kWorkerStopBoundMs);
    return end;
}

RunEnd RunChosenMode(const std::wstring& wstrCmdLine, const std::wstring& wstrInstanceName) {
    try {
        if (IsSilentCommandLine(wstrCmdLine.c_str()))
            return RunSilent(wstrCmdLine);
        return RunWindowed(wstrCmdLine, wstrInstanceName);
    } catch (...) {
        // Out of memory before the run started: nothing more can be done.
        DebugMessage(L"the launcher could not start its run");
        return RunEnd();
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPWSTR lpCmdLine,
                    int /*nShowCmd*/) {
    // First of all: no DLL is to come from this program's folder.
    CvCommon::SystemLibrary::RestrictDllSearch();
    InitCrashHandler(L"LumenscanLauncher", std::wstring(), std::wstring(), nullptr);

    const std::wstring wstrCmdLine = lpCmdLine ? lpCmdLine : L"";

    const std::wstring wstrInstanceName =
        LauncherConfig::Instance().GetValue(L"instance", L"golbalMutexName");
    const InstanceGuardResult guard = AcquireInstanceGuard(wstrInstanceName);
    DebugMessage(GuardMessage(guard));
    if (guard == InstanceGuardResult::AlreadyRunning)
        return 0;

    CvCommon::Handle::UniqueCoInit com(
        CvCommon::Error::CheckHResult(::CoInitialize(nullptr), L"CoInitialize"));
    CvCommon::Handle::UniqueModule richEdit(CvCommon::SystemLibrary::Load(L"RICHED20.DLL"));
    ::DefWindowProcW(nullptr, WM_NULL, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);

    const RunEnd end = RunChosenMode(wstrCmdLine, wstrInstanceName);
    const bool bDrained = EventDispatcher::Instance().Shutdown(
        end.bStopRequested ? kDrainAfterCloseMs : kDrainAtExitMs);

    if (!end.bWorkerStopped || !bDrained) {
        // A thread still at work would meet the libraries and the process's
        // static objects being torn down under it: end the process here.
        DebugMessage(L"threads still busy at exit, ending the process now");
        // A thread writing a crash dump right now finishes it first.
        HoldExitWhileCrashing();
        ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(end.nExitCode));
    }
    richEdit.reset();
    com.reset();
    g_hInstanceSemaphore.reset();
    return end.nExitCode;
}
