#pragma once
// One launcher at a time: a named semaphore, and a window property of the same
// name that marks the running launcher's progress window.

#include <windows.h>

#include <string>

enum class InstanceGuardResult {
    NoGuard,        // no instance name configured
    FirstInstance,  // this launcher holds the semaphore (or could not create it)
    AlreadyRunning, // another launcher holds it; its windows were brought forward
};

// Creates the semaphore named wstrName into g_hInstanceSemaphore. When another
// launcher already holds it, brings that launcher's marked windows forward,
// closes the handle and returns AlreadyRunning.
InstanceGuardResult AcquireInstanceGuard(const std::wstring& wstrName);

// Restores every minimised top-level window that carries a property named
// wstrName and brings every other such window to the foreground. Returns how
// many windows were treated.
int ActivateMarkedWindows(const std::wstring& wstrName);
