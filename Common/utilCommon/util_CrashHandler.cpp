// Installation, the top-level filter, the election between faulting threads
// and the end of the process.

#include "util_CrashHandler.h"
#include "CvComn_SystemLibrary.h"

#include "util_CrashReport.h"
#include "util_CrashRuntime.h"
#include "util_CrashState.h"

#include "CvComn_HResult.h"
#include "CvComn_Handle.h"
#include "CvComn_Kernel32.h"
#include "CvComn_Synchronize.h"

#include <shlobj.h>

#include <cstdlib>

using CrashState::As;
using CrashState::DebugMessage;
using CvCommon::Handle::UniqueHandle;
using CvCommon::Handle::UniqueModule;

namespace {

constexpr DWORD kAllProcessAccess = 0x1F0FFF;
constexpr DWORD kLoserWaitMs = 60000;
// Stack kept back on the installing thread for handling its stack overflow.
constexpr ULONG kStackGuaranteeBytes = 64 * 1024;

const wchar_t kDumpSubFolder[] = L"\\Corvane\\Lumenscan\\dump";
const wchar_t kExclamationRow[] = L"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

// Marks the current thread as running the filter for the lifetime of the
// object.
class InFilterMark {
public:
    explicit InFilterMark(DWORD dwSlot) : m_dwSlot(dwSlot) {
        if (m_dwSlot != TLS_OUT_OF_INDEXES)
            ::TlsSetValue(m_dwSlot, reinterpret_cast<void*>(1));
    }
    ~InFilterMark() {
        if (m_dwSlot != TLS_OUT_OF_INDEXES)
            ::TlsSetValue(m_dwSlot, nullptr);
    }
    InFilterMark(const InFilterMark&) = delete;
    InFilterMark& operator=(const InFilterMark&) = delete;

    static bool IsSet(DWORD dwSlot) {
        return dwSlot != TLS_OUT_OF_INDEXES && ::TlsGetValue(dwSlot) != nullptr;
    }

private:
    DWORD m_dwSlot;
};

bool IsExecutable(LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter) {
    return !::IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(pfnFilter)));
}

// The code the process ends with for this fault: the exception code, or the
// fixed code of the invalid-argument path that has no record.
DWORD CrashExitCode(const EXCEPTION_POINTERS* pExceptionInfo) {
    if (!pExceptionInfo || !pExceptionInfo->ExceptionRecord)
        return kCrashCodeInvalidParameter;
    const DWORD dwCode = pExceptionInfo->ExceptionRecord->ExceptionCode;
    return dwCode != 0 ? dwCode : 1;
}

// Ends the process with the code of the crash being handled (1 when no
// thread has won the election yet).
[[noreturn]] void EndWithCrashCode() {
    const DWORD dwStored = CrashState::Get().dwExitCode.load();
    const DWORD dwCode = dwStored != 0 ? dwStored : 1;
    ::TerminateProcess(::GetCurrentProcess(), dwCode);
    ::ExitProcess(dwCode);
}

void CallPreDump() {
    void (*pfnPreDump)() = CrashState::Get().pfnPreDump;
    if (!pfnPreDump)
        return;
    try {
        pfnPreDump();
    } catch (...) {
        // The dump matters more than the callback's failure.
    }
}

// A thread that lost the election waits, bounded, while the winner writes the
// dump and ends the process. True when the dump was finished.
bool WaitForDumpFinished(const CrashState::State& s) {
    if (s.hDumpFinished)
        return ::WaitForSingleObject(s.hDumpFinished.get(), kLoserWaitMs) == WAIT_OBJECT_0;
    ::Sleep(kLoserWaitMs);
    return false;
}

// The crash sequence on behalf of the faulting thread dwThreadId (the caller,
// or the thread a stack overflow was handed over from).
LONG RunCrashSequence(EXCEPTION_POINTERS* pExceptionInfo, DWORD dwThreadId) {
    CrashState::State& s = CrashState::Get();
    s.nInSequence.fetch_add(1);
    DebugMessage(L"#################### CrashHandler");
    CallPreDump();

    const DWORD dwProcessId = ::GetCurrentProcessId();
    UniqueHandle hOpened(::OpenProcess(kAllProcessAccess, FALSE, dwProcessId));
    // Without a real handle the pseudo handle still dumps and terminates.
    const HANDLE hProcess = hOpened ? hOpened.get() : ::GetCurrentProcess();
    const LONG lResult = s.bHandleException ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;

    bool bWinner = false;
    if (s.dwCrashingThreadId.load() == 0) {
        CvCommon::Synchronize::SingleLock lock(&s.electionLock);
        if (s.dwCrashingThreadId.load() == 0) {
            s.dwExitCode.store(CrashExitCode(pExceptionInfo));
            s.dwCrashingThreadId.store(dwThreadId);
            bWinner = true;
        }
    }
    if (!bWinner) {
        // The winner faulting again must not wait for itself.
        if (s.dwCrashingThreadId.load() == dwThreadId)
            return lResult;
        WaitForDumpFinished(s);
        return lResult;
    }

    if (s.TablesAvailable())
        _ProcessDumpWriter(hProcess, dwProcessId, dwThreadId, pExceptionInfo, TRUE,
                           s.wstrDumpFolder);
    if (pExceptionInfo && s.bHandleException && s.bReport)
        FileErrorReport(pExceptionInfo);
    if (s.hDumpFinished)
        ::SetEvent(s.hDumpFinished.get());
    if (!s.wstrEventName.empty()) {
        UniqueHandle hCompletion(::OpenEventW(EVENT_MODIFY_STATE, FALSE, s.wstrEventName.c_str()));
        if (hCompletion)
            ::SetEvent(hCompletion.get());
    }
    ::TerminateProcess(hProcess, s.dwExitCode.load());
    return lResult;
}

LONG CallUserFilter(LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter, EXCEPTION_POINTERS* pExceptionInfo,
                    DWORD dwFaultingThreadId) {
    if (pfnFilter == &CrashHandler)
        return RunCrashSequence(pExceptionInfo, dwFaultingThreadId);
    return pfnFilter(pExceptionInfo);
}

bool IsStackOverflow(const EXCEPTION_POINTERS* pExceptionInfo) {
    return pExceptionInfo && pExceptionInfo->ExceptionRecord &&
           pExceptionInfo->ExceptionRecord->ExceptionCode ==
               static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW);
}

// The filter's work for the thread dwFaultingThreadId.
LONG FilterBody(EXCEPTION_POINTERS* pExceptionInfo, DWORD dwFaultingThreadId) {
    DebugMessage(L"#################### CrashHandlerExceptionFilter");
    if (IsStackOverflow(pExceptionInfo)) {
        DebugMessage(kExclamationRow);
        DebugMessage(L"EXCEPTION_STACK_OVERFLOW occurred\n");
        DebugMessage(kExclamationRow);
    }
    const LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter = CrashState::Get().pfnUserFilter;
    if (!pfnFilter || !IsExecutable(pfnFilter))
        return EXCEPTION_CONTINUE_SEARCH;
    return CallUserFilter(pfnFilter, pExceptionInfo, dwFaultingThreadId);
}

// A thread whose stack overflowed has a few hundred bytes left: too little to
// write even a debugger message. It hands its exception to the standby thread,
// started at installation, and waits there while that thread runs the filter
// on its own stack.
DWORD WINAPI StandbyThread(void*) {
    CrashState::State& s = CrashState::Get();
    while (::WaitForSingleObject(s.hHandOverRequest.get(), INFINITE) == WAIT_OBJECT_0) {
        if (CrashState::HandOver* pHandOver = s.pHandOver.load()) {
            InFilterMark mark(s.dwInFilterSlot);
            try {
                pHandOver->lResult =
                    FilterBody(pHandOver->pExceptionInfo, pHandOver->dwFaultingThreadId);
            } catch (...) {
                pHandOver->lResult = EXCEPTION_CONTINUE_SEARCH;
            }
        }
        ::SetEvent(s.hHandOverDone.get());
    }
    return 0;
}

bool StandbyAlive(const CrashState::State& s) {
    return s.hStandbyThread && ::WaitForSingleObject(s.hStandbyThread.get(), 0) == WAIT_TIMEOUT;
}

// False when there is no standby thread to hand over to (never started, or
// already ended by the process's exit).
bool HandOverToStandby(EXCEPTION_POINTERS* pExceptionInfo, LONG& lResult) {
    CrashState::State& s = CrashState::Get();
    if (!StandbyAlive(s))
        return false;
    CrashState::HandOver handOver = {pExceptionInfo, ::GetCurrentThreadId(),
                                     EXCEPTION_CONTINUE_SEARCH};
    CrashState::HandOver* pExpected = nullptr;
    if (!s.pHandOver.compare_exchange_strong(pExpected, &handOver)) {
        // Another overflow is being handled; that one writes the dump.
        WaitForDumpFinished(s);
        lResult = EXCEPTION_CONTINUE_SEARCH;
        return true;
    }
    ::SetEvent(s.hHandOverRequest.get());
    // The standby thread ending (the process exiting) releases the wait too.
    const HANDLE hWait[] = {s.hHandOverDone.get(), s.hStandbyThread.get()};
    ::WaitForMultipleObjects(ARRAYSIZE(hWait), hWait, FALSE, INFINITE);
    s.pHandOver.store(nullptr);
    lResult = handOver.lResult;
    return true;
}

void StartStandbyThread(CrashState::State& s) {
    if (s.hStandbyThread)
        return;
    s.hHandOverRequest.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    s.hHandOverDone.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (s.hHandOverRequest && s.hHandOverDone)
        s.hStandbyThread.reset(::CreateThread(nullptr, 0, &StandbyThread, nullptr, 0, nullptr));
}

void __cdecl HoldExitAtExit() {
    HoldExitWhileCrashing();
}

// The all-users profile folder; userenv.dll is loaded only for this fallback.
bool GetAllUsersProfileFolder(wchar_t* pszFolder, DWORD cchFolder) {
    using GetFolderFn = BOOL(WINAPI*)(LPWSTR, LPDWORD);
    UniqueModule hUserEnv(CvCommon::SystemLibrary::Load(L"userenv.dll"));
    if (!hUserEnv)
        return false;
    const auto pfnGetFolder =
        As<GetFolderFn>(::GetProcAddress(hUserEnv.get(), "GetAllUsersProfileDirectoryW"));
    DWORD cch = cchFolder;
    return pfnGetFolder && pfnGetFolder(pszFolder, &cch);
}

} // namespace

void InitCrashHandler(const wchar_t* appName, const std::wstring& eventName,
                      const std::wstring& baseFolder, void (*preDump)()) {
    if (!appName)
        return;
    try {
        CrashState::State& s = CrashState::Get();
        s.pfnPreDump = preDump;

        std::wstring wstrBase = baseFolder;
        if (wstrBase.empty()) {
            wchar_t szFolder[MAX_PATH] = {};
            if (CvCommon::Error::CheckHResult(
                    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                       SHGFP_TYPE_CURRENT, szFolder),
                    L"SHGetFolderPathW"))
                wstrBase = szFolder;
            else if (GetAllUsersProfileFolder(szFolder, ARRAYSIZE(szFolder)))
                wstrBase = szFolder;
            else
                return;
        }
        s.wstrDumpFolder = wstrBase + kDumpSubFolder;
        s.wstrEventName = eventName;
        s.wstrAppName = appName;

        ::SHCreateDirectory(nullptr, s.wstrDumpFolder.c_str());

        if (!s.hDumpFinished) {
            SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
            s.hDumpFinished.reset(::CreateEventW(&attributes, TRUE, FALSE, nullptr));
        }
        StartStandbyThread(s);
        ULONG ulGuarantee = kStackGuaranteeBytes;
        ::SetThreadStackGuarantee(&ulGuarantee);
        ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
        InstallRuntimeRoutes();
        InstallCrashFilter(&CrashHandler, false);
        if (!s.bExitHoldRegistered)
            s.bExitHoldRegistered = std::atexit(&HoldExitAtExit) == 0;

        CrashState::LoadDbgHelp(s);
        CrashState::LoadPsapi(s);
        CvCommon::Kernel32::Is64BitOperatingSystem();

        DebugMessage(L"InitCrashHandler success!");
    } catch (...) {
        // Out of memory while storing the names: the handler stays as far as
        // it got.
    }
}

LONG WINAPI CrashHandlerExceptionFilter(EXCEPTION_POINTERS* pExceptionInfo) {
    CrashState::State& s = CrashState::Get();
    if (InFilterMark::IsSet(s.dwInFilterSlot))
        return EXCEPTION_CONTINUE_SEARCH; // raised by the filter's own work
    InFilterMark mark(s.dwInFilterSlot);
    try {
        LONG lResult = EXCEPTION_CONTINUE_SEARCH;
        if (IsStackOverflow(pExceptionInfo) && HandOverToStandby(pExceptionInfo, lResult))
            return lResult;
        return FilterBody(pExceptionInfo, ::GetCurrentThreadId());
    } catch (...) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
}

LONG WINAPI CrashHandler(EXCEPTION_POINTERS* pExceptionInfo) {
    return RunCrashSequence(pExceptionInfo, ::GetCurrentThreadId());
}

void HoldExitWhileCrashing() {
    const CrashState::State& s = CrashState::Get();
    if (s.nInSequence.load() == 0 || s.dwCrashingThreadId.load() == ::GetCurrentThreadId())
        return;
    WaitForDumpFinished(s);
    EndWithCrashCode();
}

int InstallCrashFilter(LPTOP_LEVEL_EXCEPTION_FILTER pUserFilter, bool bReport) {
    CrashState::State& s = CrashState::Get();
    if (!pUserFilter) {
        UninstallCrashFilter();
        s.pfnUserFilter = nullptr;
        return 1;
    }
    if (!IsExecutable(pUserFilter))
        return 0;
    s.pfnUserFilter = pUserFilter;
    s.bReport = bReport;
    if (!s.bFilterInstalled) {
        s.pfnPreviousFilter = ::SetUnhandledExceptionFilter(&CrashHandlerExceptionFilter);
        s.bFilterInstalled = true;
    }
    return 1;
}

void UninstallCrashFilter() {
    CrashState::State& s = CrashState::Get();
    if (s.bFilterInstalled) {
        ::SetUnhandledExceptionFilter(s.pfnPreviousFilter);
        s.bFilterInstalled = false;
        s.pfnPreviousFilter = nullptr;
    }
}
