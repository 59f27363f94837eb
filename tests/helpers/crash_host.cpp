// Test host for the crash handler: installs it with the names given on the
// command line and then faults in the way asked for.
//
//   crash_host MODE APP EVENT BASE      EVENT or BASE "-" means empty
//     MODE init         install, check the filter bookkeeping, exit 0
//          av           access violation on the main thread
//          crt          invalid argument reported to the C runtime's handler
//          overflow     stack overflow by recursion
//          two-threads  two threads fault at the same moment
//          report       print the error-report values for three addresses
//   crash_host version PATH [CHARS]     print GetModuleVersionText's answer
//   crash_host wait-event NAME FILE     create event NAME, write "ready" to
//                                       FILE, wait up to 30 s for the signal
//
// The ids of faulting threads go to stdout as "thread=<id>" before the fault.

#include "util_CrashHandler.h"

#include "CvComn_Handle.h"

#include <windows.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

using CvCommon::Handle::UniqueHandle;

namespace {

volatile LONG g_nInPreDump = 0;
LONG g_nPreDumpBarrier = 1;

void PreDump() {
    ::OutputDebugStringW(L"crash_host: pre-dump");
    // Holds every faulting thread here until all of them have arrived, so that
    // they enter the election together.
    ::InterlockedIncrement(&g_nInPreDump);
    for (int i = 0; i < 10000 && g_nInPreDump < g_nPreDumpBarrier; ++i)
        ::Sleep(1);
}

void AnnounceFaultingThread() {
    std::printf("thread=%lu\n", ::GetCurrentThreadId());
    std::fflush(stdout);
}

volatile std::uintptr_t g_nFaultAddress = 0;

void AccessViolation() {
    *reinterpret_cast<volatile int*>(g_nFaultAddress) = 1;
}

int (*volatile g_pfnRecurse)(int);

int Recurse(int nDepth) {
    volatile char buffer[1024];
    buffer[0] = static_cast<char>(nDepth);
    if (nDepth == -1)
        return 0;
    return g_pfnRecurse(nDepth + 1) + buffer[0];
}

int InvalidArgument() {
    // With a runtime that checks its arguments this call ends in the handler.
    // msvcrt.dll only returns an error and never calls the handler, so the
    // host then does what such a runtime does: call the registered handler.
    const int nResult = _close(-1);
    std::fprintf(stderr, "crash_host: _close(-1) returned %d\n", nResult);
    const _invalid_parameter_handler pfnHandler = _get_invalid_parameter_handler();
    if (!pfnHandler) {
        std::fprintf(stderr, "crash_host: no invalid-parameter handler registered\n");
        return 3;
    }
    pfnHandler(nullptr, nullptr, nullptr, 0, 0);
    return 4;
}

DWORD WINAPI FaultingThread(void* pStart) {
    ::WaitForSingleObject(static_cast<HANDLE>(pStart), INFINITE);
    AccessViolation();
    return 0;
}

int TwoThreads() {
    g_nPreDumpBarrier = 2;
    UniqueHandle hStart(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle hThreads[2];
    for (UniqueHandle& hThread : hThreads) {
        DWORD dwId = 0;
        hThread.reset(::CreateThread(nullptr, 0, &FaultingThread, hStart.get(), 0, &dwId));
        if (!hThread)
            return 3;
        std::printf("thread=%lu\n", dwId);
    }
    std::fflush(stdout);
    ::SetEvent(hStart.get());
    ::WaitForSingleObject(hThreads[0].get(), 30000);
    ::WaitForSingleObject(hThreads[1].get(), 30000);
    return 4;
}

LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
    const LPTOP_LEVEL_EXCEPTION_FILTER pfnCurrent = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(pfnCurrent);
    return pfnCurrent;
}

// Installs, refuses a filter that is not code, uninstalls.
int CheckInstall(const wchar_t* pszApp, const std::wstring& wstrEvent,
                 const std::wstring& wstrBase) {
    const LPTOP_LEVEL_EXCEPTION_FILTER pfnBefore = CurrentFilter();
    InitCrashHandler(pszApp, wstrEvent, wstrBase, &PreDump);
    const bool bInstalled = CurrentFilter() == &CrashHandlerExceptionFilter;
    const bool bRefused =
        InstallCrashFilter(reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(1), false) == 0;
    UninstallCrashFilter();
    const bool bRestored = CurrentFilter() == pfnBefore;
    std::printf("installed=%d refused=%d restored=%d\n", bInstalled, bRefused, bRestored);
    return bInstalled && bRefused && bRestored ? 0 : 3;
}

void PrintReport(const char* pszCase, const void* pAddress) {
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = const_cast<void*>(pAddress);
    EXCEPTION_POINTERS pointers = {&record, nullptr};
    static CrashReportParameters parameters;
    BuildCrashReportParameters(&pointers, parameters);
    for (std::size_t i = 0; i < CrashReportParameters::kCount; ++i)
        std::printf("%s|%ls|%ls\n", pszCase, CrashReportParameters::kNames[i],
                    parameters.szValues[i]);
}

int Report() {
    PrintReport("host", reinterpret_cast<const void*>(&Recurse));
    PrintReport("kernel32", reinterpret_cast<const void*>(
                                ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "Sleep")));
    PrintReport("none", reinterpret_cast<const void*>(0x10));
    return 0;
}

int Version(int argc, wchar_t** argv) {
    const std::size_t cch = argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 64;
    wchar_t szVersion[64];
    const bool bRead = GetModuleVersionText(argv[2], szVersion, cch);
    std::printf("read=%d text=%ls\n", bRead, szVersion);
    return 0;
}

int WaitEvent(const wchar_t* pszName, const wchar_t* pszStatusFile) {
    UniqueHandle hEvent(::CreateEventW(nullptr, TRUE, FALSE, pszName));
    if (!hEvent)
        return 3;
    if (FILE* pFile = _wfopen(pszStatusFile, L"w")) {
        std::fputs("ready\n", pFile);
        std::fclose(pFile);
    }
    const bool bSignalled = ::WaitForSingleObject(hEvent.get(), 30000) == WAIT_OBJECT_0;
    std::printf("%s\n", bSignalled ? "signalled" : "timeout");
    return bSignalled ? 0 : 2;
}

std::wstring Optional(const wchar_t* pszArg) {
    return std::wcscmp(pszArg, L"-") == 0 ? std::wstring() : std::wstring(pszArg);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"version") == 0)
        return Version(argc, argv);
    if (argc >= 4 && std::wcscmp(argv[1], L"wait-event") == 0)
        return WaitEvent(argv[2], argv[3]);
    if (argc < 5) {
        std::fprintf(stderr, "usage: crash_host MODE APP EVENT BASE\n");
        return 2;
    }
    const std::wstring wstrMode = argv[1];
    const std::wstring wstrEvent = Optional(argv[3]);
    const std::wstring wstrBase = Optional(argv[4]);
    if (wstrMode == L"init")
        return CheckInstall(argv[2], wstrEvent, wstrBase);

    InitCrashHandler(argv[2], wstrEvent, wstrBase, &PreDump);
    if (wstrMode == L"av") {
        AnnounceFaultingThread();
        AccessViolation();
    } else if (wstrMode == L"crt") {
        return InvalidArgument();
    } else if (wstrMode == L"overflow") {
        AnnounceFaultingThread();
        g_pfnRecurse = &Recurse;
        return g_pfnRecurse(0);
    } else if (wstrMode == L"two-threads") {
        return TwoThreads();
    } else if (wstrMode == L"report") {
        return Report();
    }
    std::fprintf(stderr, "crash_host: unknown mode\n");
    return 2;
}
