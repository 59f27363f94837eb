#pragma once
// The crash handler: on an unhandled structured exception, an invalid
// argument reported by the C runtime, std::terminate or abort, it writes a
// minidump into <base folder>\Corvane\Lumenscan\dump, releases any other
// thread that faulted at the same moment, signals an optional named event and
// ends the process with the exception code (never 0). Once installed it stays
// installed until the process has ended: its state is never destroyed, its
// filter is not taken back at exit, and the debug-help library stays loaded.

#include <windows.h>

#include <cstddef>
#include <string>

// The exit code after an invalid argument reported by the C runtime, which
// comes without an exception record (STATUS_INVALID_CRUNTIME_PARAMETER).
constexpr DWORD kCrashCodeInvalidParameter = 0xC0000417;
// The exception code of the record made for std::terminate, a pure call and
// abort (STATUS_STACK_BUFFER_OVERRUN, the fail-fast code of the Microsoft
// runtime's abort), and so the exit code after them.
constexpr DWORD kCrashCodeFatalExit = 0xC0000409;

// Installs the handler. appName prefixes the dump file names; a null appName
// installs nothing. eventName names an existing event to signal after a crash
// (empty: none). baseFolder empty means the all-users application data folder.
// preDump, when not null, is called first thing in CrashHandler. Call it once,
// from the entry point, before other threads start. Nothing needs to be
// called at exit.
void InitCrashHandler(const wchar_t* appName, const std::wstring& eventName,
                      const std::wstring& baseFolder, void (*preDump)());

// Returns at once unless another thread is in the crash sequence; then waits
// (bounded) for that thread's dump and ends the process with the crash's
// code, so that an exit racing a crash neither cuts the dump short nor ends
// with the exit's own code. InitCrashHandler registers it as an exit handler;
// call it also before ending the process with TerminateProcess or
// ExitProcess.
void HoldExitWhileCrashing();

// The top-level unhandled-exception filter that InitCrashHandler installs.
LONG WINAPI CrashHandlerExceptionFilter(EXCEPTION_POINTERS* pExceptionInfo);

// The crash sequence: dump, event, termination with the exception code
// (kCrashCodeInvalidParameter when pExceptionInfo is null: the invalid-argument
// path; 1 for a record whose code is 0). Returns the filter disposition for
// threads that did not win the election (the winner ends the process).
LONG WINAPI CrashHandler(EXCEPTION_POINTERS* pExceptionInfo);

// Writes the minidump file into wstrDumpFolder; named with "_SE_CRT_" when
// pExceptionInfo is null.
void _ProcessDumpWriter(HANDLE hProcess, DWORD dwProcessId, DWORD dwThreadId,
                        EXCEPTION_POINTERS* pExceptionInfo, BOOL bClientPointers,
                        const std::wstring& wstrDumpFolder);

// With a user filter: stores it and installs CrashHandlerExceptionFilter if
// it is not installed yet. With null: puts the previous filter back. Returns
// 1, or 0 when pUserFilter is not executable code.
int InstallCrashFilter(LPTOP_LEVEL_EXCEPTION_FILTER pUserFilter, bool bReport);

// Puts the filter back that was in place before InstallCrashFilter. Nothing
// calls it at exit: a fault during exit must still reach the handler.
void UninstallCrashFilter();

// Writes "0.0.0.0" into pszVersion, then the file version of pszPath as
// "a.b.c.d" when the file has a version resource. False when no version was
// read or the buffer is too small for the text.
bool GetModuleVersionText(const wchar_t* pszPath, wchar_t* pszVersion, std::size_t cchVersion);

// The eight values of an error report for the exception, index 0 to 7:
// application name, version and time stamp, fault module name, version and
// time stamp, exception code and offset.
struct CrashReportParameters {
    static constexpr std::size_t kCount = 8;
    static constexpr std::size_t kValueChars = 1024;
    static const wchar_t* const kNames[kCount];
    wchar_t szValues[kCount][kValueChars];
};
void BuildCrashReportParameters(const EXCEPTION_POINTERS* pExceptionInfo,
                                CrashReportParameters& parameters);
