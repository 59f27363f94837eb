// Error reports through the system's error reporting, and the values that go
// into them.

#include "util_CrashHandler.h"
#include "CvComn_SystemLibrary.h"
#include "Util_File.h"
#include "util_CrashReport.h"

#include "util_CrashState.h"
#include "util_CrashText.h"

#include "CvComn_HResult.h"
#include "CvComn_Handle.h"

#include <errorrep.h>

#include <cstdint>
#include <cwchar>
#include <memory>
#include <new>

using CrashState::As;
using CrashText::FileNamePart;
using CrashText::FormatTruncated;
using CrashText::FormatWhole;
using CvCommon::Handle::UniqueModule;

namespace {

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

using GetTimestampFn = DWORD(WINAPI*)(HMODULE);

DWORD TimestampOf(HMODULE hModule) {
    const CrashState::State& s = CrashState::Get();
    if (!hModule || !s.pDbgHelp || !s.pDbgHelp->bAvailable)
        return 0;
    return As<GetTimestampFn>(s.pDbgHelp->pfn[CrashState::kGetTimestampForLoadedLibrary])(hModule);
}

// wer.dll is bound late, so its close function is found at run time, once
// per report, before any report handle exists. Reports are made under the
// handler's lock, one at a time.
using WerCloseFn = HRESULT(WINAPI*)(HREPORT);
WerCloseFn g_pfnWerReportClose = nullptr;

struct WerReportTraits {
    using pointer = HREPORT;
    static pointer Invalid() noexcept { return nullptr; }
    static bool IsValid(pointer h) noexcept { return h != nullptr; }
    static void Close(pointer h) noexcept {
        if (g_pfnWerReportClose)
            g_pfnWerReportClose(h);
    }
};
using UniqueWerReport = CvCommon::Handle::UniqueAny<WerReportTraits>;

void CopyTruncated(wchar_t* pszField, std::size_t cchField, const wchar_t* pszText) {
    FormatTruncated(pszField, cchField, L"%ls", pszText);
}

bool ReportThroughWer(EXCEPTION_POINTERS* pExceptionInfo) {
    using CreateFn = HRESULT(WINAPI*)(PCWSTR, int, WerReportInformation*, HREPORT*);
    using AddDumpFn =
        HRESULT(WINAPI*)(HREPORT, HANDLE, HANDLE, int, WerExceptionInformation*, void*, DWORD);
    using SetParameterFn = HRESULT(WINAPI*)(HREPORT, DWORD, PCWSTR, PCWSTR);
    using SubmitFn = HRESULT(WINAPI*)(HREPORT, int, DWORD, int*);

    UniqueModule hWer(CvCommon::SystemLibrary::Load(L"wer.dll"));
    if (!hWer)
        return false;
    const auto pfnCreate = As<CreateFn>(::GetProcAddress(hWer.get(), "WerReportCreate"));
    const auto pfnAddDump = As<AddDumpFn>(::GetProcAddress(hWer.get(), "WerReportAddDump"));
    const auto pfnSetParameter =
        As<SetParameterFn>(::GetProcAddress(hWer.get(), "WerReportSetParameter"));
    const FARPROC pfnAddFile = ::GetProcAddress(hWer.get(), "WerReportAddFile");
    const FARPROC pfnSetUIOption = ::GetProcAddress(hWer.get(), "WerReportSetUIOption");
    const auto pfnSubmit = As<SubmitFn>(::GetProcAddress(hWer.get(), "WerReportSubmit"));
    const auto pfnClose = As<WerCloseFn>(::GetProcAddress(hWer.get(), "WerReportCloseHandle"));
    if (!pfnCreate || !pfnAddDump || !pfnSetParameter || !pfnAddFile || !pfnSetUIOption ||
        !pfnClose)
        return false;

    WerReportInformation info = {};
    info.dwSize = sizeof(info);
    CopyTruncated(info.wzFriendlyEventName, ARRAYSIZE(info.wzFriendlyEventName),
                  L"Crash Dump Event");
    CopyTruncated(info.wzApplicationName, ARRAYSIZE(info.wzApplicationName),
                  CrashState::Get().wstrAppName.c_str());
    CopyTruncated(info.wzDescription, ARRAYSIZE(info.wzDescription), L"Critical runtime problem");

    g_pfnWerReportClose = pfnClose;
    UniqueWerReport report;
    if (!CvCommon::Error::CheckHResult(
            pfnCreate(L"APPCRASH", kWerReportApplicationCrash, &info, report.put()),
            L"WerReportCreate") ||
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
    if (!CvCommon::Error::CheckHResult(pfnAddDump(report.get(), ::GetCurrentProcess(),
                                                  ::GetCurrentThread(), kWerDumpTypeMiniDump,
                                                  &exception, nullptr, 0),
                                       L"WerReportAddDump") ||
        !pfnSubmit)
        return false;
    int nSubmitResult = kWerReportFailed;
    return CvCommon::Error::CheckHResult(
        pfnSubmit(report.get(), kWerConsentAlwaysPrompt, kWerSubmitOutOfProcess, &nSubmitResult),
        L"WerReportSubmit");
}

bool ReportThroughFaultrep(EXCEPTION_POINTERS* pExceptionInfo) {
    using ReportFaultFn = EFaultRepRetVal(WINAPI*)(LPEXCEPTION_POINTERS, DWORD);
    UniqueModule hFaultrep(CvCommon::SystemLibrary::Load(L"Faultrep.dll"));
    if (!hFaultrep)
        return false;
    const auto pfnReportFault = As<ReportFaultFn>(::GetProcAddress(hFaultrep.get(), "ReportFault"));
    if (!pfnReportFault)
        return false;
    pfnReportFault(pExceptionInfo, 0);
    return true;
}

} // namespace

const wchar_t* const CrashReportParameters::kNames[CrashReportParameters::kCount] = {
    L"Application Name",  L"Application Version",  L"Application Timestamp",
    L"Fault Module Name", L"Fault Module Version", L"Fault Module Timestamp",
    L"Exception Code",    L"Exception Offset"};

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

bool GetModuleVersionText(const wchar_t* pszPath, wchar_t* pszVersion, std::size_t cchVersion) {
    if (!pszVersion || !FormatWhole(pszVersion, cchVersion, L"0.0.0.0"))
        return false;
    if (!pszPath || !*pszPath)
        return false;
    VS_FIXEDFILEINFO fixed = {};
    if (!Util::ReadFixedFileInfo(pszPath, fixed))
        return false;
    wchar_t szText[64];
    if (!FormatWhole(szText, ARRAYSIZE(szText), L"%d.%d.%d.%d", HIWORD(fixed.dwFileVersionMS),
                     LOWORD(fixed.dwFileVersionMS), HIWORD(fixed.dwFileVersionLS),
                     LOWORD(fixed.dwFileVersionLS)))
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
