#pragma once
// The routes from the C and C++ runtimes into the crash sequence: the C
// runtime's invalid-parameter and pure-call handlers, std::terminate (an
// uncaught exception, a pure virtual call in GCC code, a throwing destructor)
// and SIGABRT (abort).

#include <windows.h>

// What a C runtime module let the crash handler register: each is true when
// the module exports the setter and the handler was handed to it.
struct CrtRoutes {
    bool bInvalidParameter = false;
    bool bPureCall = false;
};

// The C runtime DLL that this program's C runtime calls go to (msvcrt.dll for
// a MinGW-w64 build against msvcrt, ucrtbase.dll for one against the
// universal runtime); null when it cannot be told.
HMODULE LinkedCrtModule();

// Hands the crash handler's invalid-parameter and pure-call handlers to the
// setters that hCrt exports. A runtime without the setters (msvcrt.dll of
// Windows and of Wine has neither) reports an invalid parameter only through
// errno and its result; a program that loads another runtime can route that
// one's checks here too.
CrtRoutes RouteCrtChecks(HMODULE hCrt);

// Installs every route: the toolchain's own setters, those of the linked C
// runtime DLL, std::set_terminate and SIGABRT. Called by InitCrashHandler.
void InstallRuntimeRoutes();
