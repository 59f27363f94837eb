#include "InstanceGuard.h"

#include "LauncherGlobals.h"

int ActivateMarkedWindows(const std::wstring& wstrName) {
    int treated = 0;
    for (HWND hwnd = ::GetWindow(::GetDesktopWindow(), GW_CHILD); ::IsWindow(hwnd);
         hwnd = ::GetWindow(hwnd, GW_HWNDNEXT)) {
        if (::GetPropW(hwnd, wstrName.c_str()) == nullptr)
            continue;
        if (::IsIconic(hwnd))
            ::ShowWindow(hwnd, SW_SHOWNORMAL);
        else
            ::SetForegroundWindow(hwnd);
        ++treated;
    }
    return treated;
}

InstanceGuardResult AcquireInstanceGuard(const std::wstring& wstrName) {
    if (wstrName.empty())
        return InstanceGuardResult::NoGuard;

    g_hInstanceSemaphore.reset(::CreateSemaphoreW(nullptr, 1, 1, wstrName.c_str()));
    const DWORD error = ::GetLastError();
    if (!g_hInstanceSemaphore || error != ERROR_ALREADY_EXISTS)
        return InstanceGuardResult::FirstInstance;

    ActivateMarkedWindows(wstrName);
    g_hInstanceSemaphore.reset();
    return InstanceGuardResult::AlreadyRunning;
}
