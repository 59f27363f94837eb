#include "LaunchWorkflow.h"

#include "AddressResolver.h"
#include "LaunchOptions.h"
#include "LauncherDeployment.h"
#include "LauncherGlobals.h"
#include "PackageRegistry.h"
#include "ProgressMessages.h"

#include "EventDispatcher.h"
#include "NetDebug.h"
#include "NetRequest.h"
#include "Util_Registry.h"

#include <mutex>

namespace {

constexpr size_t kSetupCommandLineChars = 512;

std::mutex g_instanceMutex;
LaunchWorkflow* g_pInstance = nullptr;

void SendProgress(int nPercent) {
    if (g_wstrLaunchArgs == L"-s")
        return;
    // The address is valid only during the synchronous send.
    INT32 nValue = nPercent;
    ::SendMessageW(g_hProgressWnd, WM_DOWNLOAD_PROGRESS, reinterpret_cast<WPARAM>(&nValue), 0);
}

// The progress window leaves the taskbar and shrinks to nothing.
void HideProgressWindow() {
    const LONG_PTR style = ::GetWindowLongPtrW(g_hProgressWnd, GWL_EXSTYLE);
    ::SetWindowLongPtrW(g_hProgressWnd, GWL_EXSTYLE, (style & ~WS_EX_APPWINDOW) | WS_EX_TOOLWINDOW);
    ::SetWindowPos(g_hProgressWnd, nullptr, -1000, -1000, 0, 0,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
}

} // namespace

LaunchWorkflow& LaunchWorkflow::Instance() {
    if (LaunchWorkflow* pWorkflow = g_pInstance)
        return *pWorkflow;
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    if (!g_pInstance)
        g_pInstance = new LaunchWorkflow(LauncherConfig::Instance());
    return *g_pInstance;
}

void LaunchWorkflow::ReportProgress(int nPercent) { SendProgress(nPercent); }

int LaunchWorkflow::DownloadProgressToOverall(DWORD dwPercent) {
    return static_cast<int>(10.0 + static_cast<double>(dwPercent) * 60.0 / 100.0);
}

void LaunchWorkflow::Post(AnalyticsEvent& event, const std::wstring& wstrPrefix,
                          const wchar_t* pszAction) {
    event.SetAction(wstrPrefix + pszAction);
    EventDispatcher::Instance().Post(event);
}

ResultCode LaunchWorkflow::Download(const std::wstring& wstrUrl, std::wstring& wstrFolderInPathOut) {
    return DownloadFile(
        wstrUrl, wstrFolderInPathOut,
        [](DWORD dwPercent) { SendProgress(DownloadProgressToOverall(dwPercent)); },
        m_config.GetValue(L"build", L"type"));
}

ResultCode LaunchWorkflow::Run(std::wstring wstrCommandLine) {
    const std::wstring wstrLabel = m_config.GetValue(L"ER", L"funId");
    const std::wstring wstrPrefix = g_bSilentRun ? L"Silent" : L"";
    ReportProgress(10);

    AnalyticsEvent event;
    event.SetCategory(L"Downloader");
    event.SetLabel(wstrLabel);

    ::OutputDebugStringW(L"FunId for this downloader is:");
    ::OutputDebugStringW(wstrLabel.c_str());
    ::OutputDebugStringW(wstrCommandLine.c_str());

    const ParsedCommandLine parsed = ParseCommandLine(wstrCommandLine);
    if (!parsed.bSplit) {
        ::OutputDebugStringW(L"CommandLineToArgvW failed");
        return Result::kBadCommandLine;
    }
    int nShowState = SW_SHOW;
    g_wstrLaunchArgs.clear();
    for (int i = 0; i < parsed.nSilentMarkers; ++i) {
        HideProgressWindow();
        nShowState = SW_HIDE;
        g_wstrLaunchArgs = L"-s";
        ::OutputDebugStringW(L"silent run this exe...");
    }

    const std::wstring wstrAddress = ResolveDownloadAddress(parsed.options);
    ::OutputDebugStringW(L"ErUrl for this downloader is:");
    ::OutputDebugStringW(wstrAddress.c_str());
    if (wstrAddress.empty()) {
        Post(event, wstrPrefix, L"Downloader_GetErUrlFail");
        return Result::kNoAddress;
    }

    if (wstrAddress.find(LAUNCHER_PLACEHOLDER_URL) != std::wstring::npos) {
        Post(event, wstrPrefix, L"Downloader_CallLocalBuild");
        m_wstrLaunchPath = ReadRememberedLaunchPath();
    } else {
        Post(event, wstrPrefix, L"Downloader_Start_Download");
        const ResultCode download = Download(wstrAddress, m_wstrPackagePath);
        if (Result::Failed(download)) {
            Post(event, wstrPrefix, L"Downloader_Download_Fail");
            NetDebug::Print(L"download failed with error %04X, url is %ls", download,
                      wstrAddress.c_str());
            return download;
        }
        ReportProgress(70);
        Post(event, wstrPrefix, L"Downloader_Download_Succeed");
        const ResultCode prepared = PrepareLaunchFile();
        if (Result::Failed(prepared))
            return prepared;
    }

    ::OutputDebugStringW(m_wstrLaunchPath.c_str());
    if (!VerifyPackage(m_wstrLaunchPath, wstrAddress)) {
        ::OutputDebugStringW(L"check md5 failed!");
        Post(event, wstrPrefix, L"Downloader_CheckMd5_Fail");
        return Result::kIntegrityCheckFailed;
    }
    ReportProgress(90);

    // From here on a new launcher may start.
    g_hInstanceSemaphore.reset();
    return StartSetup(event, wstrPrefix, nShowState);
}

ResultCode LaunchWorkflow::StartSetup(AnalyticsEvent& event, const std::wstring& wstrPrefix,
                                      int nShowState) {
    const std::wstring wstrCommand = L"\"" + m_wstrLaunchPath + L"\" " + g_wstrLaunchArgs;
    DWORD dwError = ERROR_SUCCESS;
    BOOL bCreated = FALSE;
    PROCESS_INFORMATION process = {};
    if (wstrCommand.size() >= kSetupCommandLineChars) {
        // A cut command line would start something else: refuse it.
        dwError = ERROR_FILENAME_EXCED_RANGE;
        ::OutputDebugStringW(L"setup command line is too long, not started");
    } else {
        wchar_t szCommand[kSetupCommandLineChars] = {};
        wstrCommand.copy(szCommand, wstrCommand.size());
        ::OutputDebugStringW(szCommand);

        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(nShowState);
        bCreated = ::CreateProcessW(nullptr, szCommand, nullptr, nullptr, FALSE,
                                    CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &process);
        dwError = ::GetLastError();
    }
    if (!bCreated) {
        Post(event, wstrPrefix, L"Downloader_LaunchExe_Fail");
        return Result::FromPlatformError(dwError);
    }
    // The launcher never waits for the setup.
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    ReportProgress(100);
    Post(event, wstrPrefix, L"Downloader_LaunchExe_Succeed");
    EventDispatcher::Instance().WaitAll();
    return Result::kSuccess;
}
