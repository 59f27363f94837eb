// Test host for the crash handler: installs it with the names given on the
// command line and then faults in the way asked for.
//
//   crash_host MODE APP EVENT BASE      EVENT or BASE "-" means empty
//     MODE init          install, check the filter bookkeeping, exit 0
//          av            access violation on the main thread
//          overflow      stack overflow by recursion
//          two-threads   two threads fault at the same moment
//          exit-static   a static object's destructor faults after a static
//                        dispatcher-like object (with a worker thread) has
//                        been destroyed
//          exit-atexit   an exit handler registered before the entry point
//                        faults
//          exit-worker   a worker faults while the main thread returns
//          throw-main    an exception nobody catches, on the main thread
//          throw-thread  an exception nobody catches, on a worker thread
//          purecall      a pure virtual call
//          abort         abort()
//          crt           invalid argument to the linked C runtime DLL
//          crt-ucrt      invalid argument to ucrtbase.dll, loaded here and
//                        routed to the handler
//          report        print the error-report values for three addresses
//   crash_host spawn MODE APP EVENT BASE
//                        run the host with those arguments, print
//                        "exit=<8 hex digits>", its whole exit code
//   crash_host version PATH [CHARS]     print GetModuleVersionText's answer
//   crash_host wait-event NAME FILE     create event NAME, write "ready" to
//                                       FILE, wait up to 30 s for the signal
//
// The ids of faulting threads go to stdout as "thread=<id>" before the fault.

#include "util_CrashHandler.h"
#include "util_CrashRuntime.h"

#include "CvComn_Handle.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <stdexcept>
#include <string>
#include <thread>

using CvCommon::Handle::UniqueHandle;
using CvCommon::Handle::UniqueModule;

namespace crash_host {

// A base class whose constructor calls its pure function, the classic pure
// call. Out of line and outside an unnamed namespace, so that the compiler
// neither knows every override nor drops the table store as dead.
struct PureBase {
    __attribute__((noinline)) PureBase();
    virtual ~PureBase() = default;
    virtual void Run() = 0;
    static PureBase* volatile g_pSelf;
};
PureBase* volatile PureBase::g_pSelf = nullptr;
PureBase::PureBase() {
    g_pSelf = this;
    g_pSelf->Run(); // the table is still PureBase's: its entry is the pure one
}
struct PureDerived : PureBase {
    void Run() override {}
};

} // namespace crash_host

namespace {

// Set by wmain before anything faults; read by the static objects at exit.
std::wstring g_wstrMode;

volatile LONG g_nInPreDump = 0;
LONG g_nPreDumpBarrier = 1;
HANDLE g_hInPreDump = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);

volatile std::uintptr_t g_nFaultAddress = 0;

void AccessViolation() {
    *reinterpret_cast<volatile int*>(g_nFaultAddress) = 1;
}

void PreDump() {
    ::OutputDebugStringW(L"crash_host: pre-dump");
    ::SetEvent(g_hInPreDump);
    if (g_wstrMode == L"exit-worker")
        ::Sleep(500); // the main thread is meanwhile on its way out
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

void Debug(const wchar_t* pszText) {
    ::OutputDebugStringW(pszText);
}

// Static objects built before the entry point, destroyed after it returned:
// first the dispatcher-like object (it joins its worker), then the one that
// faults. The order of definition is the order of construction.
struct FaultAtExit {
    ~FaultAtExit() {
        if (g_wstrMode != L"exit-static")
            return;
        Debug(L"crash_host: faulting in a static destructor");
        AnnounceFaultingThread();
        AccessViolation();
    }
};
FaultAtExit g_faultAtExit;

struct DispatcherLike {
    UniqueHandle hStop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::thread worker{[this] { ::WaitForSingleObject(hStop.get(), INFINITE); }};
    ~DispatcherLike() {
        ::SetEvent(hStop.get());
        worker.join();
        if (g_wstrMode == L"exit-static")
            Debug(L"crash_host: dispatcher stopped");
    }
};
DispatcherLike g_dispatcher;

void __cdecl FaultingExitHandler() {
    if (g_wstrMode != L"exit-atexit")
        return;
    Debug(L"crash_host: faulting in an exit handler");
    AnnounceFaultingThread();
    AccessViolation();
}
const int g_nExitHandlerRegistered = std::atexit(&FaultingExitHandler);

int (*volatile g_pfnRecurse)(int);

int Recurse(int nDepth) {
    volatile char buffer[1024];
    buffer[0] = static_cast<char>(nDepth);
    if (nDepth == -1)
        return 0;
    return g_pfnRecurse(nDepth + 1) + buffer[0];
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

// The worker's fault is still being handled when the main thread returns 0.
int ExitWhileWorkerFaults() {
    std::thread([] {
        AnnounceFaultingThread();
        AccessViolation();
    }).detach();
    if (::WaitForSingleObject(g_hInPreDump, 30000) != WAIT_OBJECT_0)
        return 3;
    Debug(L"crash_host: main returns");
    return 0;
}

[[noreturn]] void ThrowUncaught() {
    AnnounceFaultingThread();
    throw std::runtime_error("nobody catches this");
}

int ThrowOnThread() {
    std::thread worker(&ThrowUncaught);
    worker.join();
    return 4;
}

int PureCall() {
    AnnounceFaultingThread();
    crash_host::PureDerived derived;
    return 4;
}

int Abort() {
    AnnounceFaultingThread();
    std::abort();
}

// wcscpy_s with no buffer: the check every runtime with secure functions
// makes. Returns the function's result, or -1 when hCrt has no wcscpy_s.
int CallWcscpyWithoutBuffer(HMODULE hCrt) {
    using WcscpyFn = int(__cdecl*)(wchar_t*, std::size_t, const wchar_t*);
    const auto pfnCopy =
        reinterpret_cast<WcscpyFn>(reinterpret_cast<void*>(::GetProcAddress(hCrt, "wcscpy_s")));
    if (!pfnCopy)
        return -1;
    return pfnCopy(nullptr, 4, L"abc");
}

void PrintModuleName(const char* pszLabel, HMODULE hModule) {
    wchar_t szPath[MAX_PATH] = {};
    ::GetModuleFileNameW(hModule, szPath, MAX_PATH);
    const wchar_t* pszName = std::wcsrchr(szPath, L'\\');
    std::printf("%s=%ls\n", pszLabel, pszName ? pszName + 1 : szPath);
}

// The linked runtime: where it lets the handler in, this call ends in a
// dump; where it does not, the call returns EINVAL and the host says so.
int InvalidArgumentToLinkedCrt() {
    const HMODULE hCrt = LinkedCrtModule();
    if (!hCrt)
        return 3;
    PrintModuleName("crt", hCrt);
    const CrtRoutes routes = RouteCrtChecks(hCrt);
    std::printf("routes invalid-parameter=%d pure-call=%d\n", routes.bInvalidParameter,
                routes.bPureCall);
    std::fflush(stdout);
    const int nResult = CallWcscpyWithoutBuffer(hCrt);
    std::printf("returned=%d\n", nResult);
    return 4;
}

// A runtime that has the setters: its own check reaches the handler.
int InvalidArgumentToUcrt() {
    UniqueModule hUcrt(::LoadLibraryW(L"ucrtbase.dll"));
    if (!hUcrt)
        return 3;
    const CrtRoutes routes = RouteCrtChecks(hUcrt.get());
    std::printf("routes invalid-parameter=%d pure-call=%d\n", routes.bInvalidParameter,
                routes.bPureCall);
    std::fflush(stdout);
    if (!routes.bInvalidParameter)
        return 3;
    const int nResult = CallWcscpyWithoutBuffer(hUcrt.get());
    std::printf("returned=%d\n", nResult);
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

// The whole 32-bit exit code of a run; a Unix parent sees only its low byte.
int Spawn(int argc, wchar_t** argv) {
    wchar_t szExe[MAX_PATH] = {};
    if (!::GetModuleFileNameW(nullptr, szExe, MAX_PATH))
        return 3;
    std::wstring wstrCommand = L"\"" + std::wstring(szExe) + L"\"";
    for (int i = 2; i < argc; ++i)
        wstrCommand += L" \"" + std::wstring(argv[i]) + L"\"";
    std::fflush(stdout);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(szExe, &wstrCommand[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &process))
        return 3;
    UniqueHandle hProcess(process.hProcess);
    UniqueHandle hThread(process.hThread);
    if (::WaitForSingleObject(hProcess.get(), 90000) != WAIT_OBJECT_0) {
        ::TerminateProcess(hProcess.get(), 0xDEAD);
        return 3;
    }
    DWORD dwExitCode = 0;
    ::GetExitCodeProcess(hProcess.get(), &dwExitCode);
    std::printf("exit=%08lx\n", dwExitCode);
    return 0;
}

std::wstring Optional(const wchar_t* pszArg) {
    return std::wcscmp(pszArg, L"-") == 0 ? std::wstring() : std::wstring(pszArg);
}

int Fault(const std::wstring& wstrMode) {
    if (wstrMode == L"av") {
        AnnounceFaultingThread();
        AccessViolation();
    } else if (wstrMode == L"overflow") {
        AnnounceFaultingThread();
        g_pfnRecurse = &Recurse;
        return g_pfnRecurse(0);
    } else if (wstrMode == L"two-threads") {
        return TwoThreads();
    } else if (wstrMode == L"exit-static" || wstrMode == L"exit-atexit") {
        return g_nExitHandlerRegistered == 0 ? 0 : 3; // the fault comes after wmain
    } else if (wstrMode == L"exit-worker") {
        return ExitWhileWorkerFaults();
    } else if (wstrMode == L"throw-main") {
        ThrowUncaught();
    } else if (wstrMode == L"throw-thread") {
        return ThrowOnThread();
    } else if (wstrMode == L"purecall") {
        return PureCall();
    } else if (wstrMode == L"abort") {
        return Abort();
    } else if (wstrMode == L"crt") {
        return InvalidArgumentToLinkedCrt();
    } else if (wstrMode == L"crt-ucrt") {
        return InvalidArgumentToUcrt();
    } else if (wstrMode == L"report") {
        return Report();
    }
    std::fprintf(stderr, "crash_host: unknown mode\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wcscmp(argv[1], L"version") == 0)
        return Version(argc, argv);
    if (argc >= 4 && std::wcscmp(argv[1], L"wait-event") == 0)
        return WaitEvent(argv[2], argv[3]);
    if (argc >= 6 && std::wcscmp(argv[1], L"spawn") == 0)
        return Spawn(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: crash_host MODE APP EVENT BASE\n");
        return 2;
    }
    g_wstrMode = argv[1];
    const std::wstring wstrEvent = Optional(argv[3]);
    const std::wstring wstrBase = Optional(argv[4]);
    if (g_wstrMode == L"init")
        return CheckInstall(argv[2], wstrEvent, wstrBase);

    InitCrashHandler(argv[2], wstrEvent, wstrBase, &PreDump);
    return Fault(g_wstrMode);
}
