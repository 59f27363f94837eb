#pragma once
// The shell's automation object, used to unpack zip packages.

#include <windows.h>
#include <ole2.h>
#include <shldisp.h>

namespace Util {

// CoCreateInstance of the class, asking for IShellDispatch. *ppShell receives
// the interface (the caller releases it) or null; the result is the call's
// HRESULT, E_POINTER when ppShell is null.
HRESULT CreateShellDispatch(REFCLSID clsid, IUnknown* pOuter, DWORD dwClassContext,
                            IShellDispatch** ppShell);

} // namespace Util
