// Entry point: the single-instance guard, the platform libraries the progress
// window needs, and the choice between the silent and the windowed run.

#include "InstanceGuard.h"
#include "LaunchWorkflow.h"
#include "LauncherConfig.h"
#include "LauncherGlobals.h"
#include "MainDlg.h"
#include "RunMode.h"

#include "CvCommon/CvComn_Handle.h"
#include "util_CrashHandler.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <string>

namespace {

void DebugMessage(const wchar_t* pszText) { ::OutputDebugStringW(pszText); }

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

int RunChosenMode(const std::wstring& wstrCmdLine) {
    if (IsSilentCommandLine(wstrCmdLine.c_str())) {
        g_bSilentRun = true;
        DebugMessage(L"Run mode: silent");
        // The run's outcome shows only in its events and debugger output.
        LaunchWorkflow::Instance().Run(wstrCmdLine);
        return 0;
    }
    DebugMessage(L"Run mode: windowed");
    CMainDlg dialog(wstrCmdLine);
    return static_cast<int>(dialog.DoModal(::GetActiveWindow(), 0));
}

} // namespace

int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, LPWSTR lpCmdLine,
                    int /*nShowCmd*/) {
    InitCrashHandler(L"LumenscanLauncher", std::wstring(), std::wstring(), nullptr);

    const std::wstring wstrCmdLine = lpCmdLine ? lpCmdLine : L"";

    const std::wstring wstrInstanceName =
        LauncherConfig::Instance().GetValue(L"instance", L"golbalMutexName");
    const InstanceGuardResult guard = AcquireInstanceGuard(wstrInstanceName);
    DebugMessage(GuardMessage(guard));
    if (guard == InstanceGuardResult::AlreadyRunning)
        return 0;

    ::CoInitialize(nullptr);
    CvCommon::Handle::UniqueModule richEdit(::LoadLibraryW(L"RICHED20.DLL"));
    ::DefWindowProcW(nullptr, WM_NULL, 0, 0);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
    ::InitCommonControlsEx(&controls);

    const int exitCode = RunChosenMode(wstrCmdLine);

    richEdit.reset();
    ::CoUninitialize();
    g_hInstanceSemaphore.reset();
    return exitCode;
}
