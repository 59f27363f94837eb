#include "util_CrashHandler.h"

#include "CvComn_Handle.h"
#include "CvComn_Kernel32.h"
#include "CvComn_Synchronize.h"

#include <dbghelp.h>
#include <shlobj.h>
#include <errorrep.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <memory>
#include <new>

using CvCommon::Handle::UniqueHandle;
using CvCommon::Handle::UniqueModule;

namespace {

constexpr DWORD kAllProcessAccess = 0x1F0FFF;
constexpr DWORD kLoserWaitMs = 60000;
constexpr std::size_t kDumpPathChars = 520;
// Stack kept back on the installing thread for handling its stack overflow.
constexpr ULONG kStackGuaranteeBytes = 64 * 1024;

// Windows Error Reporting, declared here because the toolchain's werapi.h
// does not compile on its own.
using HREPORT = HANDLE;
constexpr int kWerReportApplicationCrash = 2;
constexpr int kWerDumpTypeMiniDump = 2;
constexpr int kWerConsentAlwaysPrompt = 4;
constexpr int kWerReportFailed = 4;
constexpr DWORD kWerSubmitOutOfProcess = 0x20;
struct WerReportInformation {
    DWORD dwSize;
    HANDLE hProcess;
    WCHAR wzConsentKey[64];
    WCHAR wzFriendlyEventName[128];
    WCHAR wzApplicationName[128];
    WCHAR wzApplicationPath[MAX_PATH];
    WCHAR wzDescription[512];
    HWND hwndParent;
};
static_assert(sizeof(void*) != 4 || sizeof(WerReportInformation) == 2196,
              "WER_REPORT_INFORMATION layout");
struct WerExceptionInformation {
    EXCEPTION_POINTERS* pExceptionPointers;
    BOOL bClientPointers;
};
constexpr DWORD kModuleFromAddress =
    GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;

const wchar_t kDumpSubFolder[] = L"\\Corvane\\Lumenscan\\dump";
const wchar_t kExclamationRow[] = L"!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";

void DebugMessage(const wchar_t* pszText) {
    ::OutputDebugStringW(pszText);
}

// Casts a resolved entry point to its typed signature.
template <typename Fn> Fn As(FARPROC pfn) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(pfn));
}

// Formats into a fixed buffer, cutting what does not fit; always terminated.
void FormatTruncated(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...) {
    if (cchOut == 0)
        return;
    va_list args;
    va_start(args, pszFormat);
    _vsnwprintf(pszOut, cchOut, pszFormat, args);
    va_end(args);
    pszOut[cchOut - 1] = L'\0';
}

// Formats into a fixed buffer; false, with an empty buffer, when the text
// does not fit whole.
bool FormatWhole(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...) {
    if (cchOut == 0)
        return false;
    va_list args;
    va_start(args, pszFormat);
    const int nWritten = _vsnwprintf(pszOut, cchOut, pszFormat, args);
    va_end(args);
    if (nWritten < 0 || static_cast<std::size_t>(nWritten) >= cchOut) {
        pszOut[0] = L'\0';
        return false;
    }
    return true;
}

const wchar_t* FileNamePart(const wchar_t* pszPath) {
    const wchar_t* pszName = pszPath;
    for (const wchar_t* p = pszPath; *p; ++p) {
        if (*p == L'\\' || *p == L'/')
            pszName = p + 1;
    }
    return pszName;
}

// A table of entry points resolved at run time from one library. Available
// only when every entry was found.
template <std::size_t N> struct FunctionTable {
    HMODULE hModule = nullptr;
    bool bLoadedHere = false;
    UniqueModule ownedModule; // holds the library when this loader loaded it
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
const char* const kDbgHelpNames[kDbgHelpEntryCount] = {"SymGetModuleBase64",
                                                       "SymGetLineFromAddr64",
                                                       "SymFunctionTableAccess64",
                                                       "SymInitialize",
                                                       "SymSetOptions",
                                                       "SymGetOptions",
                                                       "StackWalk64",
                                                       "SymCleanup",
                                                       "SymGetSymFromAddr64",
                                                       "MiniDumpWriteDump",
                                                       "GetTimestampForLoadedLibrary"};

enum PsapiEntry {
    kEnumProcessModules,
    kGetModuleFileNameExW,
    kGetModuleBaseNameW,
    kPsapiEntryCount
};
const char* const kPsapiNames[kPsapiEntryCount] = {"EnumProcessModules", "GetModuleFileNameExW",
                                                   "GetModuleBaseNameW"};

using DbgHelpTable = FunctionTable<kDbgHelpEntryCount>;
using PsapiTable = FunctionTable<kPsapiEntryCount>;

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);
using GetTimestampFn = DWORD(WINAPI*)(HMODULE);

template <std::size_t N>
void LoadFunctionTable(std::unique_ptr<FunctionTable<N>>& pTable, const wchar_t* pszModule,
                       const char* const (&names)[N]) {
    if (pTable && pTable->bAvailable)
        return;
    if (!pTable) {
        pTable.reset(new (std::nothrow) FunctionTable<N>());
        if (!pTable)
            return;
    }
    FunctionTable<N>& table = *pTable;
    UniqueModule loaded;
    HMODULE hModule = ::GetModuleHandleW(pszModule);
    if (!hModule) {
        loaded.reset(::LoadLibraryW(pszModule));
        hModule = loaded.get();
    }
    bool bAll = hModule != nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        table.pfn[i] = hModule ? ::GetProcAddress(hModule, names[i]) : nullptr;
        if (!table.pfn[i])
            bAll = false;
    }
    if (!bAll) {
        pTable.reset(); // a library loaded here is released with `loaded`
        return;
    }
    table.hModule = hModule;
    table.bLoadedHere = loaded.valid();
    table.ownedModule = std::move(loaded);
    table.bAvailable = true;
}

struct CrashState;
void InstallInvalidParameterHandler();
void UninstallFilter(CrashState& s);
void StopStandbyThread(CrashState& s);

// A fault handed from a thread whose stack overflowed to the standby thread.
struct HandOver {
    EXCEPTION_POINTERS* pExceptionInfo;
    DWORD dwFaultingThreadId;
    LONG lResult;
};

struct CrashState {
    std::wstring wstrDumpFolder;
    std::wstring wstrAppName;
    std::wstring wstrEventName;
    void (*pfnPreDump)() = nullptr;
    UniqueHandle hDumpFinished;
    std::atomic<DWORD> dwCrashingThreadId{0};
    CvCommon::Synchronize::CriticalSection electionLock;
    LPTOP_LEVEL_EXCEPTION_FILTER pfnUserFilter = nullptr;
    LPTOP_LEVEL_EXCEPTION_FILTER pfnPreviousFilter = nullptr;
    bool bFilterInstalled = false;
    bool bReport = false;
    bool bHandleException = false; // nothing sets it
    std::unique_ptr<DbgHelpTable> pDbgHelp;
    std::unique_ptr<PsapiTable> pPsapi;
    // The thread that runs the filter for a thread whose stack overflowed.
    UniqueHandle hStandbyThread;
    UniqueHandle hHandOverRequest;
    UniqueHandle hHandOverDone;
    std::atomic<HandOver*> pHandOver{nullptr};
    std::atomic<bool> bStandbyStop{false};
    // Per thread: non-null while the thread runs the filter, so that a fault
    // raised by the filter itself is not handled a second time.
    DWORD dwInFilterSlot = ::TlsAlloc();

    CrashState() = default;
    CrashState(const CrashState&) = delete;
    CrashState& operator=(const CrashState&) = delete;
    // At process exit: the previous filter comes back before anything the
    // filter uses is released.
    ~CrashState() {
        UninstallFilter(*this);
        StopStandbyThread(*this);
        if (dwInFilterSlot != TLS_OUT_OF_INDEXES)
            ::TlsFree(dwInFilterSlot);
    }

    bool TablesAvailable() const {
        return pDbgHelp && pDbgHelp->bAvailable && pPsapi && pPsapi->bAvailable;
    }
};

CrashState& State() {
    static CrashState s_state;
    return s_state;
}

void UninstallFilter(CrashState& s) {
    if (s.bFilterInstalled) {
        ::SetUnhandledExceptionFilter(s.pfnPreviousFilter);
        s.bFilterInstalled = false;
        s.pfnPreviousFilter = nullptr;
    }
}

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

// Local date and time of a crash; all fields 0 when the clock could not be read.
struct CrashTime {
    int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
};

CrashTime LocalCrashTime() {
    CrashTime when;
    const std::time_t now = std::time(nullptr);
    if (const std::tm* pLocal = std::localtime(&now)) {
        when.nYear = pLocal->tm_year + 1900;
        when.nMonth = pLocal->tm_mon + 1;
        when.nDay = pLocal->tm_mday;
        when.nHour = pLocal->tm_hour;
        when.nMinute = pLocal->tm_min;
        when.nSecond = pLocal->tm_sec;
    }
    return when;
}

// A name that does not fit is refused, never cut.
bool BuildDumpPath(wchar_t* pszPath, std::size_t cchPath, const std::wstring& wstrFolder,
                   const std::wstring& wstrAppName, const CrashTime& when, bool bNoException) {
    return FormatWhole(pszPath, cchPath, L"%ls\\%ls%04d%02d%02d_%02d%02d%02d%ls%ls",
                       wstrFolder.c_str(), wstrAppName.c_str(), when.nYear, when.nMonth, when.nDay,
                       when.nHour, when.nMinute, when.nSecond, bNoException ? L"_SE_CRT_" : L"",
                       L"Full.dmp");
}

bool IsExecutable(LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter) {
    return !::IsBadCodePtr(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(pfnFilter)));
}

DWORD TimestampOf(HMODULE hModule) {
    const CrashState& s = State();
    if (!hModule || !s.pDbgHelp || !s.pDbgHelp->bAvailable)
        return 0;
    return As<GetTimestampFn>(s.pDbgHelp->pfn[kGetTimestampForLoadedLibrary])(hModule);
}

// Releases a WER report handle through the library's own close function.
class ReportHandle {
public:
    using CloseFn = HRESULT(WINAPI*)(HREPORT);
    explicit ReportHandle(CloseFn pfnClose) : m_pfnClose(pfnClose) {}
    ~ReportHandle() {
        if (m_hReport)
            m_pfnClose(m_hReport);
    }
    ReportHandle(const ReportHandle&) = delete;
    ReportHandle& operator=(const ReportHandle&) = delete;
    HREPORT* put() { return &m_hReport; }
    HREPORT get() const { return m_hReport; }

private:
    CloseFn m_pfnClose;
    HREPORT m_hReport = nullptr;
};

void CopyTruncated(wchar_t* pszField, std::size_t cchField, const wchar_t* pszText) {
    FormatTruncated(pszField, cchField, L"%ls", pszText);
}

bool ReportThroughWer(EXCEPTION_POINTERS* pExceptionInfo) {
    using CreateFn = HRESULT(WINAPI*)(PCWSTR, int, WerReportInformation*, HREPORT*);
    using AddDumpFn =
        HRESULT(WINAPI*)(HREPORT, HANDLE, HANDLE, int, WerExceptionInformation*, void*, DWORD);
    using SetParameterFn = HRESULT(WINAPI*)(HREPORT, DWORD, PCWSTR, PCWSTR);
    using SubmitFn = HRESULT(WINAPI*)(HREPORT, int, DWORD, int*);

    UniqueModule hWer(::LoadLibraryW(L"wer.dll"));
    if (!hWer)
        return false;
    const auto pfnCreate = As<CreateFn>(::GetProcAddress(hWer.get(), "WerReportCreate"));
    const auto pfnAddDump = As<AddDumpFn>(::GetProcAddress(hWer.get(), "WerReportAddDump"));
    const auto pfnSetParameter =
        As<SetParameterFn>(::GetProcAddress(hWer.get(), "WerReportSetParameter"));
    const FARPROC pfnAddFile = ::GetProcAddress(hWer.get(), "WerReportAddFile");
    const FARPROC pfnSetUIOption = ::GetProcAddress(hWer.get(), "WerReportSetUIOption");
    const auto pfnSubmit = As<SubmitFn>(::GetProcAddress(hWer.get(), "WerReportSubmit"));
    const auto pfnClose =
        As<ReportHandle::CloseFn>(::GetProcAddress(hWer.get(), "WerReportCloseHandle"));
    if (!pfnCreate || !pfnAddDump || !pfnSetParameter || !pfnAddFile || !pfnSetUIOption ||
        !pfnClose)
        return false;

    WerReportInformation info = {};
    info.dwSize = sizeof(info);
    CopyTruncated(info.wzFriendlyEventName, ARRAYSIZE(info.wzFriendlyEventName),
                  L"Crash Dump Event");
    CopyTruncated(info.wzApplicationName, ARRAYSIZE(info.wzApplicationName),
                  State().wstrAppName.c_str());
    CopyTruncated(info.wzDescription, ARRAYSIZE(info.wzDescription), L"Critical runtime problem");

    ReportHandle report(pfnClose);
    if (FAILED(pfnCreate(L"APPCRASH", kWerReportApplicationCrash, &info, report.put())) ||
        !report.get())
        return false;

    std::unique_ptr<CrashReportParameters> pParameters(new (std::nothrow) CrashReportParameters);
    if (pParameters) {
        BuildCrashReportParameters(pExceptionInfo, *pParameters);
        for (DWORD i = 0; i < CrashReportParameters::kCount; ++i)
            pfnSetParameter(report.get(), i, CrashReportParameters::kNames[i],
                            pParameters->szValues[i]);
    }

    WerExceptionInformation exception = {pExceptionInfo, FALSE};
    if (FAILED(pfnAddDump(report.get(), ::GetCurrentProcess(), ::GetCurrentThread(),
                          kWerDumpTypeMiniDump, &exception, nullptr, 0)) ||
        !pfnSubmit)
        return false;
    int nSubmitResult = kWerReportFailed;
    return SUCCEEDED(
        pfnSubmit(report.get(), kWerConsentAlwaysPrompt, kWerSubmitOutOfProcess, &nSubmitResult));
}

bool ReportThroughFaultrep(EXCEPTION_POINTERS* pExceptionInfo) {
    using ReportFaultFn = EFaultRepRetVal(WINAPI*)(LPEXCEPTION_POINTERS, DWORD);
    UniqueModule hFaultrep(::LoadLibraryW(L"Faultrep.dll"));
    if (!hFaultrep)
        return false;
    const auto pfnReportFault = As<ReportFaultFn>(::GetProcAddress(hFaultrep.get(), "ReportFault"));
    if (!pfnReportFault)
        return false;
    pfnReportFault(pExceptionInfo, 0);
    return true;
}

// Files an error report with the system's error reporting, chosen by the
// system version.
bool FileErrorReport(EXCEPTION_POINTERS* pExceptionInfo) {
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!::GetVersionExW(&version))
        return false;
    if (version.dwMajorVersion > 5)
        return ReportThroughWer(pExceptionInfo);
    if (version.dwMajorVersion == 5 && version.dwMinorVersion != 0)
        return ReportThroughFaultrep(pExceptionInfo);
    return false;
}

void CallPreDump() {
    void (*pfnPreDump)() = State().pfnPreDump;
    if (!pfnPreDump)
        return;
    try {
        pfnPreDump();
    } catch (...) {
        // The dump matters more than the callback's failure.
    }
}

// A thread that lost the election waits, bounded, while the winner writes the
// dump and ends the process.
void WaitForDumpFinished(const CrashState& s) {
    if (s.hDumpFinished)
        ::WaitForSingleObject(s.hDumpFinished.get(), kLoserWaitMs);
    else
        ::Sleep(kLoserWaitMs);
}

// The crash sequence on behalf of the faulting thread dwThreadId (the caller,
// or the thread a stack overflow was handed over from).
LONG RunCrashSequence(EXCEPTION_POINTERS* pExceptionInfo, DWORD dwThreadId) {
    CrashState& s = State();
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
    ::TerminateProcess(hProcess, 1);
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
    const LPTOP_LEVEL_EXCEPTION_FILTER pfnFilter = State().pfnUserFilter;
    if (!pfnFilter || !IsExecutable(pfnFilter))
        return EXCEPTION_CONTINUE_SEARCH;
    return CallUserFilter(pfnFilter, pExceptionInfo, dwFaultingThreadId);
}

// A thread whose stack overflowed has a few hundred bytes left: too little to
// write even a debugger message. It hands its exception to the standby thread,
// started at installation, and waits there while that thread runs the filter
// on its own stack.
DWORD WINAPI StandbyThread(void*) {
    CrashState& s = State();
    while (::WaitForSingleObject(s.hHandOverRequest.get(), INFINITE) == WAIT_OBJECT_0 &&
           !s.bStandbyStop.load()) {
        if (HandOver* pHandOver = s.pHandOver.load()) {
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

// False when there is no standby thread.
bool HandOverToStandby(EXCEPTION_POINTERS* pExceptionInfo, LONG& lResult) {
    CrashState& s = State();
    if (!s.hStandbyThread)
        return false;
    HandOver handOver = {pExceptionInfo, ::GetCurrentThreadId(), EXCEPTION_CONTINUE_SEARCH};
    HandOver* pExpected = nullptr;
    if (!s.pHandOver.compare_exchange_strong(pExpected, &handOver)) {
        // Another overflow is being handled; that one writes the dump.
        WaitForDumpFinished(s);
        lResult = EXCEPTION_CONTINUE_SEARCH;
        return true;
    }
    ::SetEvent(s.hHandOverRequest.get());
    ::WaitForSingleObject(s.hHandOverDone.get(), INFINITE);
    s.pHandOver.store(nullptr);
    lResult = handOver.lResult;
    return true;
}

// At process exit, before the events the thread waits on are closed.
void StopStandbyThread(CrashState& s) {
    if (!s.hStandbyThread)
        return;
    s.bStandbyStop.store(true);
    ::SetEvent(s.hHandOverRequest.get());
    ::WaitForSingleObject(s.hStandbyThread.get(), 5000);
}

void StartStandbyThread(CrashState& s) {
    if (s.hStandbyThread)
        return;
    s.hHandOverRequest.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    s.hHandOverDone.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (s.hHandOverRequest && s.hHandOverDone)
        s.hStandbyThread.reset(::CreateThread(nullptr, 0, &StandbyThread, nullptr, 0, nullptr));
}

void __cdecl InvalidParameterHandler(const wchar_t* /*pszExpression*/,
                                     const wchar_t* /*pszFunction*/, const wchar_t* /*pszFile*/,
                                     unsigned int /*nLine*/, uintptr_t /*pReserved*/) {
    try {
        DebugMessage(L"#################### CrashHandler");
        CrashHandler(nullptr);
    } catch (...) {
    }
}

void InstallInvalidParameterHandler() {
    _set_invalid_parameter_handler(&InvalidParameterHandler);
#if !defined(_UCRT) && defined(__MSVCRT_VERSION__) && __MSVCRT_VERSION__ < 0x0800
    // With msvcrt.dll the function above only records the handler for the
    // toolchain's own runtime code; msvcrt.dll's checks reach a handler only
    // through its own setter, which some versions of the library export.
    using SetHandlerFn = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
    if (const HMODULE hCrt = ::GetModuleHandleW(L"msvcrt.dll")) {
        if (const auto pfnSet =
                As<SetHandlerFn>(::GetProcAddress(hCrt, "_set_invalid_parameter_handler")))
            pfnSet(&InvalidParameterHandler);
    }
#endif
}

// The all-users profile folder; userenv.dll is loaded only for this fallback.
bool GetAllUsersProfileFolder(wchar_t* pszFolder, DWORD cchFolder) {
    using GetFolderFn = BOOL(WINAPI*)(LPWSTR, LPDWORD);
    UniqueModule hUserEnv(::LoadLibraryW(L"userenv.dll"));
    if (!hUserEnv)
        return false;
    const auto pfnGetFolder =
        As<GetFolderFn>(::GetProcAddress(hUserEnv.get(), "GetAllUsersProfileDirectoryW"));
    DWORD cch = cchFolder;
    return pfnGetFolder && pfnGetFolder(pszFolder, &cch);
}

} // namespace

const wchar_t* const CrashReportParameters::kNames[CrashReportParameters::kCount] = {
    L"Application Name",  L"Application Version",  L"Application Timestamp",
    L"Fault Module Name", L"Fault Module Version", L"Fault Module Timestamp",
    L"Exception Code",    L"Exception Offset"};

void InitCrashHandler(const wchar_t* appName, const std::wstring& eventName,
                      const std::wstring& baseFolder, void (*preDump)()) {
    if (!appName)
        return;
    try {
        CrashState& s = State();
        s.pfnPreDump = preDump;

        std::wstring wstrBase = baseFolder;
        if (wstrBase.empty()) {
            wchar_t szFolder[MAX_PATH] = {};
            if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE,
                                             nullptr, SHGFP_TYPE_CURRENT, szFolder)))
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
        InstallInvalidParameterHandler();
        InstallCrashFilter(&CrashHandler, false);

        LoadFunctionTable(s.pDbgHelp, L"Dbghelp.dll", kDbgHelpNames);
        LoadFunctionTable(s.pPsapi, L"PSAPI.DLL", kPsapiNames);
        CvCommon::Kernel32::Is64BitOperatingSystem();

        DebugMessage(L"InitCrashHandler success!");
    } catch (...) {
        // Out of memory while storing the names: the handler stays as far as
        // it got.
    }
}

LONG WINAPI CrashHandlerExceptionFilter(EXCEPTION_POINTERS* pExceptionInfo) {
    CrashState& s = State();
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

void _ProcessDumpWriter(HANDLE hProcess, DWORD dwProcessId, DWORD dwThreadId,
                        EXCEPTION_POINTERS* pExceptionInfo, BOOL bClientPointers,
                        const std::wstring& wstrDumpFolder) {
    DebugMessage(L"Test _ProcessDumpWriter");

    wchar_t szPath[kDumpPathChars];
    if (!BuildDumpPath(szPath, ARRAYSIZE(szPath), wstrDumpFolder, State().wstrAppName,
                       LocalCrashTime(), pExceptionInfo == nullptr)) {
        DebugMessage(L"dump file name too long for folder: ");
        DebugMessage(wstrDumpFolder.c_str());
        return;
    }

    const CrashState& s = State();
    if (!s.pDbgHelp || !s.pDbgHelp->bAvailable) {
        DebugMessage(L"Crash dump generation failed at path: ");
        DebugMessage(szPath);
        return;
    }

    ::SHCreateDirectory(nullptr, wstrDumpFolder.c_str());
    UniqueHandle hFile(::CreateFileW(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hFile) {
        const DWORD dwError = ::GetLastError();
        wchar_t szError[64];
        FormatTruncated(szError, ARRAYSIZE(szError), L"%lu", dwError);
        DebugMessage(L"failed to create dump file at path: ");
        DebugMessage(szPath);
        DebugMessage(L"GetLastError() = ");
        DebugMessage(szError);
        return;
    }

    MINIDUMP_EXCEPTION_INFORMATION exception = {dwThreadId, pExceptionInfo, bClientPointers};
    const BOOL bWritten = As<MiniDumpWriteDumpFn>(s.pDbgHelp->pfn[kMiniDumpWriteDump])(
        hProcess, dwProcessId, hFile.get(), MiniDumpNormal, pExceptionInfo ? &exception : nullptr,
        nullptr, nullptr);
    hFile.reset();
    DebugMessage(bWritten ? L"Crash dump generation succeed at path: "
                          : L"Crash dump generation failed at path: ");
    DebugMessage(szPath);
}

int InstallCrashFilter(LPTOP_LEVEL_EXCEPTION_FILTER pUserFilter, bool bReport) {
    CrashState& s = State();
    if (!pUserFilter) {
        UninstallFilter(s);
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
    UninstallFilter(State());
}

bool GetModuleVersionText(const wchar_t* pszPath, wchar_t* pszVersion, std::size_t cchVersion) {
    if (!pszVersion || !FormatWhole(pszVersion, cchVersion, L"0.0.0.0"))
        return false;
    if (!pszPath || !*pszPath)
        return false;
    DWORD dwHandle = 0;
    const DWORD cbInfo = ::GetFileVersionInfoSizeW(pszPath, &dwHandle);
    if (cbInfo == 0)
        return false;
    std::unique_ptr<BYTE[]> pInfo(new (std::nothrow) BYTE[cbInfo]);
    if (!pInfo || !::GetFileVersionInfoW(pszPath, 0, cbInfo, pInfo.get()))
        return false;
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    if (!::VerQueryValueW(pInfo.get(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed) ||
        !pFixed || cbFixed < sizeof(VS_FIXEDFILEINFO))
        return false;
    wchar_t szText[64];
    if (!FormatWhole(szText, ARRAYSIZE(szText), L"%d.%d.%d.%d", HIWORD(pFixed->dwFileVersionMS),
                     LOWORD(pFixed->dwFileVersionMS), HIWORD(pFixed->dwFileVersionLS),
                     LOWORD(pFixed->dwFileVersionLS)))
        return false;
    if (std::wcslen(szText) >= cchVersion)
        return false; // "0.0.0.0" stays
    std::wmemcpy(pszVersion, szText, std::wcslen(szText) + 1);
    return true;
}

void BuildCrashReportParameters(const EXCEPTION_POINTERS* pExceptionInfo,
                                CrashReportParameters& parameters) {
    constexpr std::size_t cch = CrashReportParameters::kValueChars;
    auto& values = parameters.szValues;

    wchar_t szExePath[cch] = {};
    ::GetModuleFileNameW(nullptr, szExePath, cch);
    CopyTruncated(values[0], cch, FileNamePart(szExePath));
    GetModuleVersionText(szExePath, values[1], cch);
    FormatTruncated(values[2], cch, L"%x", TimestampOf(::GetModuleHandleW(nullptr)));

    const EXCEPTION_RECORD* pRecord = pExceptionInfo ? pExceptionInfo->ExceptionRecord : nullptr;
    const void* pAddress = pRecord ? pRecord->ExceptionAddress : nullptr;
    HMODULE hFaultModule = nullptr;
    if (pAddress &&
        !::GetModuleHandleExW(kModuleFromAddress, static_cast<LPCWSTR>(pAddress), &hFaultModule))
        hFaultModule = nullptr;
    wchar_t szFaultPath[cch] = {};
    if (hFaultModule)
        ::GetModuleFileNameW(hFaultModule, szFaultPath, cch);
    CopyTruncated(values[3], cch, FileNamePart(szFaultPath));
    GetModuleVersionText(szFaultPath, values[4], cch);
    FormatTruncated(values[5], cch, L"%x", TimestampOf(hFaultModule));
    FormatTruncated(values[6], cch, L"%08x", pRecord ? pRecord->ExceptionCode : 0);
    const std::uintptr_t nOffset =
        reinterpret_cast<std::uintptr_t>(pAddress) - reinterpret_cast<std::uintptr_t>(hFaultModule);
    FormatTruncated(values[7], cch, L"%p", reinterpret_cast<void*>(nOffset));
}
