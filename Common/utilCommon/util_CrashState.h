#pragma once
// The crash handler's process-wide state. It is built on first use and never
// destroyed: a fault during static destruction, in an exit handler or on a
// thread still running at exit finds the handler, its names, its events and
// the debug-help library exactly as InitCrashHandler left them.

#include "CvComn_Handle.h"
#include "CvComn_Synchronize.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

namespace CrashState {

// A table of entry points resolved at run time from one library. Available
// only when every entry was found. The library stays loaded for the life of
// the process once the table is available.
// A library found already loaded is pinned instead of owned.
template <std::size_t N> struct FunctionTable {
    CvCommon::Handle::UniqueModule ownedModule; // held when this loader loaded it
    FARPROC pfn[N] = {};
    bool bAvailable = false;
};

enum DbgHelpEntry {
    kSymGetModuleBase64,
    kSymGetLineFromAddr64,
    kSymFunctionTableAccess64,
    kSymInitialize,
    kSymSetOptions,
    kSymGetOptions,
    kStackWalk64,
    kSymCleanup,
    kSymGetSymFromAddr64,
    kMiniDumpWriteDump,
    kGetTimestampForLoadedLibrary,
    kDbgHelpEntryCount
};

enum PsapiEntry {
    kEnumProcessModules,
    kGetModuleFileNameExW,
    kGetModuleBaseNameW,
    kPsapiEntryCount
};

using DbgHelpTable = FunctionTable<kDbgHelpEntryCount>;
using PsapiTable = FunctionTable<kPsapiEntryCount>;

// A fault handed from a thread whose stack overflowed to the standby thread.
struct HandOver {
    EXCEPTION_POINTERS* pExceptionInfo;
    DWORD dwFaultingThreadId;
    LONG lResult;
};

struct State {
    std::wstring wstrDumpFolder;
    std::wstring wstrAppName;
    std::wstring wstrEventName;
    void (*pfnPreDump)() = nullptr;
    CvCommon::Handle::UniqueHandle hDumpFinished;
    // Threads that have entered the crash sequence (before the pre-dump
    // callback and the election).
    std::atomic<LONG> nInSequence{0};
    std::atomic<DWORD> dwCrashingThreadId{0};
    // The code the process ends with, stored by the thread that won the
    // election before it writes the dump.
    std::atomic<DWORD> dwExitCode{0};
    CvCommon::Synchronize::CriticalSection electionLock;
    LPTOP_LEVEL_EXCEPTION_FILTER pfnUserFilter = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER pfnPreviousFilter = nullptr;
    bool bFilterInstalled = false;
    bool bReport = false;
    bool bHandleException = false; // nothing sets it
    bool bExitHoldRegistered = false;
    std::unique_ptr<DbgHelpTable> pDbgHelp;
    std::unique_ptr<PsapiTable> pPsapi;
    // The thread that runs the filter for a thread whose stack overflowed.
    CvCommon::Handle::UniqueHandle hStandbyThread;
    CvCommon::Handle::UniqueHandle hHandOverRequest;
    CvCommon::Handle::UniqueHandle hHandOverDone;
    std::atomic<HandOver*> pHandOver{nullptr};
    // Per thread: non-null while the thread runs the filter, so that a fault
    // raised by the filter itself is not handled a second time.
    DWORD dwInFilterSlot = ::TlsAlloc();

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    // Never destroyed (see Get).
    ~State() = delete;

    bool TablesAvailable() const {
        return pDbgHelp && pDbgHelp->bAvailable && pPsapi && pPsapi->bAvailable;
    }
};

// The one state, built on the first call and never destroyed.
State& Get();

// Fill the debug-help and process-status tables (no-ops once available).
void LoadDbgHelp(State& s);
void LoadPsapi(State& s);

// Casts a resolved entry point to its typed signature.
template <typename Fn> Fn As(FARPROC pfn) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(pfn));
}

inline void DebugMessage(const wchar_t* pszText) {
    ::OutputDebugStringW(pszText);
}

} // namespace CrashState
