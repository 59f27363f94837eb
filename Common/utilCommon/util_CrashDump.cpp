// The minidump file: its name and its writing.

#include "util_CrashHandler.h"

#include "util_CrashState.h"
#include "util_CrashText.h"

#include "CvComn_Handle.h"

#include <dbghelp.h>
#include <shlobj.h>

using CrashState::DebugMessage;
using CvCommon::Handle::UniqueHandle;

namespace {

constexpr std::size_t kDumpPathChars = 520;

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

// A name that does not fit is refused, never cut. The local time comes from
// the system clock without the C runtime, which may be what failed.
bool BuildDumpPath(wchar_t* pszPath, std::size_t cchPath, const std::wstring& wstrFolder,
                   const std::wstring& wstrAppName, bool bNoException) {
    SYSTEMTIME when = {};
    ::GetLocalTime(&when);
    return CrashText::FormatWhole(pszPath, cchPath, L"%ls\\%ls%04d%02d%02d_%02d%02d%02d%ls%ls",
                                  wstrFolder.c_str(), wstrAppName.c_str(), when.wYear, when.wMonth,
                                  when.wDay, when.wHour, when.wMinute, when.wSecond,
                                  bNoException ? L"_SE_CRT_" : L"", L"Full.dmp");
}

} // namespace

void _ProcessDumpWriter(HANDLE hProcess, DWORD dwProcessId, DWORD dwThreadId,
                        EXCEPTION_POINTERS* pExceptionInfo, BOOL bClientPointers,
                        const std::wstring& wstrDumpFolder) {
    DebugMessage(L"Test _ProcessDumpWriter");
    const CrashState::State& s = CrashState::Get();

    wchar_t szPath[kDumpPathChars];
    if (!BuildDumpPath(szPath, ARRAYSIZE(szPath), wstrDumpFolder, s.wstrAppName,
                       pExceptionInfo == nullptr)) {
        DebugMessage(L"dump file name too long for folder: ");
        DebugMessage(wstrDumpFolder.c_str());
        return;
    }

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
        CrashText::FormatTruncated(szError, ARRAYSIZE(szError), L"%lu", dwError);
        DebugMessage(L"failed to create dump file at path: ");
        DebugMessage(szPath);
        DebugMessage(L"GetLastError() = ");
        DebugMessage(szError);
        return;
    }

    MINIDUMP_EXCEPTION_INFORMATION exception = {dwThreadId, pExceptionInfo, bClientPointers};
    const BOOL bWritten =
        CrashState::As<MiniDumpWriteDumpFn>(s.pDbgHelp->pfn[CrashState::kMiniDumpWriteDump])(
            hProcess, dwProcessId, hFile.get(), MiniDumpNormal,
            pExceptionInfo ? &exception : nullptr, nullptr, nullptr);
    // On the disk before the process is ended.
    ::FlushFileBuffers(hFile.get());
    hFile.reset();
    DebugMessage(bWritten ? L"Crash dump generation succeed at path: "
                          : L"Crash dump generation failed at path: ");
    DebugMessage(szPath);
}
