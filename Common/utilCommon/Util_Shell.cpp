#include "Util_Shell.h"

namespace Util {

HRESULT CreateShellDispatch(REFCLSID clsid, IUnknown* pOuter, DWORD dwClassContext,
                            IShellDispatch** ppShell) {
    if (!ppShell)
        return E_POINTER;
    *ppShell = nullptr;
    // IShellDispatch, {D8F015C0-C278-11CE-A49E-444553540000}.
    return ::CoCreateInstance(clsid, pOuter, dwClassContext, __uuidof(IShellDispatch),
                              reinterpret_cast<void**>(ppShell));
}

} // namespace Util
