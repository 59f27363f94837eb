#include "util_CrashRuntime.h"

#include "util_CrashHandler.h"
#include "util_CrashState.h"

#include <cxxabi.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>

using CrashState::As;
using CrashState::DebugMessage;

namespace {

// ExceptionInformation[0] of the record made for a fatal runtime exit: the
// fail-fast code the Microsoft runtime gives abort (FAST_FAIL_FATAL_APP_EXIT).
constexpr ULONG_PTR kFastFailFatalAppExit = 7;

constexpr DWORD kModuleFromAddress =
    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;

// The crash sequence for a fault that has no exception record of its own:
// a record with dwCode and the caller's context, so that the dump shows the
// stack that led here. Ends the process.
[[noreturn]] __attribute__((noinline)) void CrashWithRecord(DWORD dwCode) noexcept {
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = dwCode;
    record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    record.ExceptionAddress = __builtin_return_address(0);
    record.NumberParameters = 1;
    record.ExceptionInformation[0] = kFastFailFatalAppExit;
    EXCEPTION_POINTERS pointers = {&record, &context};
    DebugMessage(L"#################### CrashHandler");
    CrashHandler(&pointers);
    // Only a thread that lost the election gets here, after the winner's
    // dump; the process ends all the same, with the winner's code.
    const DWORD dwStored = CrashState::Get().dwExitCode.load();
    const DWORD dwExitCode = dwStored != 0 ? dwStored : dwCode;
    ::TerminateProcess(::GetCurrentProcess(), dwExitCode);
    ::ExitProcess(dwExitCode);
}

void __cdecl OnInvalidParameter(const wchar_t* /*pszExpression*/, const wchar_t* /*pszFunction*/,
                                const wchar_t* /*pszFile*/, unsigned int /*nLine*/,
                                uintptr_t /*pReserved*/) {
    try {
        DebugMessage(L"#################### CrashHandler");
        CrashHandler(nullptr);
    } catch (...) {
    }
}

void __cdecl OnPureCall() {
    CrashWithRecord(kCrashCodeFatalExit);
}

[[noreturn]] void OnTerminate() noexcept {
    CrashWithRecord(kCrashCodeFatalExit);
}

void __cdecl OnAbortSignal(int /*nSignal*/) {
    CrashWithRecord(kCrashCodeFatalExit);
}

// Vtables name __cxa_pure_virtual only weakly, and a weak name does not pull
// a member out of a static library: in a fully static MinGW build nothing
// else links the runtime's pure-call function, the table entry stays 0 and a
// pure call jumps to address 0. This strong reference links it, so a pure
// call reports itself ("pure virtual method called") and ends in
// std::terminate.
void (*volatile g_pfnPureVirtual)() = nullptr;

} // namespace

HMODULE LinkedCrtModule() {
    // _errno is imported from the runtime DLL: its address lies in it.
    HMODULE hCrt = nullptr;
    if (!::GetModuleHandleExW(kModuleFromAddress,
                              reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&::_errno)), &hCrt))
        return nullptr;
    return hCrt;
}

CrtRoutes RouteCrtChecks(HMODULE hCrt) {
    using SetInvalidParameterFn = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
    using SetPureCallFn = _purecall_handler(__cdecl*)(_purecall_handler);
    CrtRoutes routes;
    if (!hCrt)
        return routes;
    if (const auto pfnSet =
            As<SetInvalidParameterFn>(::GetProcAddress(hCrt, "_set_invalid_parameter_handler"))) {
        pfnSet(&OnInvalidParameter);
        routes.bInvalidParameter = true;
    }
    if (const auto pfnSet = As<SetPureCallFn>(::GetProcAddress(hCrt, "_set_purecall_handler"))) {
        pfnSet(&OnPureCall);
        routes.bPureCall = true;
    }
    return routes;
}

void InstallRuntimeRoutes() {
    // The toolchain's setters: the runtime's own in a build against the
    // universal runtime; against msvcrt.dll they only keep the handler for
    // code of the toolchain that asks for it.
    _set_invalid_parameter_handler(&OnInvalidParameter);
    _set_purecall_handler(&OnPureCall);
    RouteCrtChecks(LinkedCrtModule());
    // GCC code reports a pure virtual call, an exception nobody catches and a
    // destructor throwing during unwinding through std::terminate.
    g_pfnPureVirtual = &__cxxabiv1::__cxa_pure_virtual;
    std::set_terminate(&OnTerminate);
    std::signal(SIGABRT, &OnAbortSignal);
}

#if defined(__GLIBCXX__)
// libstdc++'s default terminate handler names the uncaught exception's type
// on stderr, which this GUI program does not have, and brings the runtime's
// demangler along (about 47 KB of the exe). This definition takes its place
// at link time; it matters only until InstallRuntimeRoutes sets OnTerminate,
// and ends the process as the runtime's would after its message. Should the
// runtime's own definition ever be linked too, the link fails on the
// duplicate instead of choosing silently.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
    std::abort();
}
} // namespace __gnu_cxx
#endif
