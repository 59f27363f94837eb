// The delay-load notification hook of the program: every late-bound system
// DLL is loaded from System32 only, never from the program's folder.

#include "CvComn_SystemLibrary.h"

#include <windows.h>

#include <delayimp.h>

namespace {

FARPROC WINAPI OnDelayLoad(unsigned dliNotify, PDelayLoadInfo pdli) {
    if (dliNotify != dliNotePreLoadLibrary || !pdli || !pdli->szDll)
        return nullptr;
    // A failure returns null; the helper then reports it the usual way.
    return reinterpret_cast<FARPROC>(CvCommon::SystemLibrary::Load(pdli->szDll));
}

} // namespace

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = OnDelayLoad;
}
