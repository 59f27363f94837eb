#include "LaunchWorkflow.h"

#include "AddressResolver.h"
#include "FileDigest.h"
#include "LaunchOptions.h"
#include "LauncherDeployment.h"
#include "LauncherGlobals.h"
#include "PackageFolders.h"
#include "PackageRegistry.h"
#include "PackageSidecar.h"
#include "PublisherCheck.h"

#include "CvComn_AccessControl.h"
#include "CvComn_BoundedFormat.h"
#include "EventDispatcher.h"
#include "NetRequest.h"
#include "Util_File.h"
#include "Util_String.h"

#include <new>

namespace {

constexpr size_t kSetupCommandLineChars = 512;

// Keeps the run's observer in place for the length of one run.
class ObserverScope {
public:
    ObserverScope(CvCommon::RunObserver*& pSlot, CvCommon::RunObserver& observer) : m_pSlot(pSlot) {
        m_pSlot = &observer;
    }
    ~ObserverScope() { m_pSlot = nullptr; }
    ObserverScope(const ObserverScope&) = delete;
    ObserverScope& operator=(const ObserverScope&) = delete;

private:
    CvCommon::RunObserver*& m_pSlot;
};

#ifdef LAUNCHER_TEST_HOOKS
// Test builds: between the launch file's check and its start, the file named
// by LAUNCHER_TEST_REPLACE_LAUNCH_FILE is written over it, moved over it, and
// the launch file deleted, as another program could try; a debugger line
// tells how each attempt ended.
void TryToReplaceLaunchFile(const std::wstring& wstrLaunchPath) {
    wchar_t szReplacement[MAX_PATH] = {};
    const DWORD cch =
        ::GetEnvironmentVariableW(L"LAUNCHER_TEST_REPLACE_LAUNCH_FILE", szReplacement, MAX_PATH);
    if (cch == 0 || cch >= MAX_PATH)
        return;
    const std::wstring wstrMoved = std::wstring(szReplacement) + L".move";
    ::CopyFileW(szReplacement, wstrMoved.c_str(), FALSE);
    const struct {
        const wchar_t* pszWay;
        BOOL bDone;
    } attempts[] = {
        {L"written over", ::CopyFileW(szReplacement, wstrLaunchPath.c_str(), FALSE)},
        {L"moved over",
         ::MoveFileExW(wstrMoved.c_str(), wstrLaunchPath.c_str(), MOVEFILE_REPLACE_EXISTING)},
        {L"deleted", ::DeleteFileW(wstrLaunchPath.c_str())},
    };
    for (const auto& attempt : attempts)
        CvCommon::String::DebugPrint(L"test: launch file %ls: %ls", attempt.pszWay,
                                     attempt.bDone ? L"yes" : L"no");
}
#endif

} // namespace

LaunchWorkflow::LaunchWorkflow(const LauncherConfig& config) : m_config(config) {
    const std::wstring wstrBase = PackageBaseFolder(config);
    m_wstrPackageDir = wstrBase + L"\\Package";
    m_wstrBuildDir = m_wstrPackageDir + L"\\Build";
    m_wstrPackagePath = m_wstrPackageDir;
    // Folders made here only administrators and the system may change.
    Util::CreateDirectoryPath(m_wstrBuildDir, nullptr,
                              CvCommon::AccessControl::SecurityAttributes::ProtectedFolder().Get());
}

ResultCode LaunchWorkflow::PrepareLaunchFile(UnpackedBuild& unpacked) {
    const size_t nDot = m_wstrPackagePath.rfind(L'.');
    if (nDot == std::wstring::npos)
        return Result::kNoFileName;
    std::wstring wstrExtension = m_wstrPackagePath.substr(nDot + 1);
    Util::ToLower(wstrExtension);

    if (wstrExtension == L"zip") {
        if (!unpacked.Unpack(m_wstrPackagePath, m_wstrBuildDir))
            return Result::kUnzipFailed;
        m_wstrLaunchPath = m_wstrBuildDir + L"\\" + m_config.GetValue(L"build", L"setup");
    } else if (wstrExtension == L"exe") {
        m_wstrLaunchPath = m_wstrPackagePath;
    }
    return Result::kSuccess;
}

bool LaunchWorkflow::VerifyPackage(std::wstring wstrFilePath, std::wstring wstrUrl) {
    std::wstring wstrDigest;
    // Held while the sidecar is fetched and, on success, until the start.
    CvCommon::Handle::UniqueHandle hFile;
    if (!ComputeFileMd5(wstrFilePath, wstrDigest, &hFile))
        return false;
    std::wstring wstrSidecarPath = SidecarFolder(wstrFilePath, m_wstrPackageDir);
    if (Result::Failed(Download(SidecarUrl(wstrFilePath, wstrUrl), wstrSidecarPath)))
        return false;
    std::wstring wstrSidecar;
    if (!ReadSidecar(wstrSidecarPath, wstrSidecar))
        return false;
    if (!SidecarHoldsDigest(wstrSidecar, wstrDigest))
        return false;
    // With a publisher pin, only a setup signed by a pinned certificate.
    if (!PublisherAccepted(hFile.get(), wstrFilePath))
        return false;
    m_hVerifiedLaunchFile = std::move(hFile);
    return true;
}

LaunchWorkflow& LaunchWorkflow::Instance() {
    // Made on first use and never destroyed.
    static LaunchWorkflow* const s_pWorkflow = new LaunchWorkflow(LauncherConfig::Instance());
    return *s_pWorkflow;
}

void LaunchWorkflow::ReportProgress(int nPercent) {
    if (g_wstrLaunchArgs == L"-s" || !m_pObserver)
        return;
    if (nPercent != m_nLastProgress) {
        m_nLastProgress = nPercent;
        CvCommon::String::DebugPrint(L"progress %d", nPercent);
    }
    m_pObserver->OnProgress(nPercent);
}

int LaunchWorkflow::DownloadProgressToOverall(DWORD dwPercent) {
    return static_cast<int>(10.0 + static_cast<double>(dwPercent) * 60.0 / 100.0);
}

bool LaunchWorkflow::StopRequested() const {
    if (!m_pObserver || !m_pObserver->Cancel().IsSet())
        return false;
    ::OutputDebugStringW(L"the run was stopped");
    return true;
}

TransferLimits LaunchWorkflow::Limits() const {
    TransferLimits limits = DefaultTransferLimits();
    if (m_pObserver)
        limits.pCancel = &m_pObserver->Cancel();
    return limits;
}

void LaunchWorkflow::Post(AnalyticsEvent& event, const std::wstring& wstrPrefix,
                          const wchar_t* pszAction) {
    event.SetAction(wstrPrefix + pszAction);
    EventDispatcher::Instance().Post(event);
}

ResultCode LaunchWorkflow::Download(const std::wstring& wstrUrl,
                                    std::wstring& wstrFolderInPathOut) {
    // Called on the transfer's thread, while the workflow's thread waits.
    return DownloadFile(
        wstrUrl, wstrFolderInPathOut,
        [this](DWORD dwPercent) { ReportProgress(DownloadProgressToOverall(dwPercent)); },
        m_config.GetValue(L"build", L"type"), Limits());
}

ResultCode LaunchWorkflow::Run(std::wstring wstrCommandLine) {
    CvCommon::NullRunObserver nobody;
    return Run(std::move(wstrCommandLine), nobody);
}

ResultCode LaunchWorkflow::Run(std::wstring wstrCommandLine, CvCommon::RunObserver& observer) {
    ObserverScope scope(m_pObserver, observer);
    m_nLastProgress = -1;
    // Nothing leaves by exception: running out of memory anywhere in the run
    // is a failure like any other.
    ResultCode result = Result::kSuccess;
    try {
        result = RunSteps(std::move(wstrCommandLine));
    } catch (const std::bad_alloc&) {
        ::OutputDebugStringW(L"the run ran out of memory");
        result = Result::FromPlatformError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        ::OutputDebugStringW(L"the run failed with an exception");
        result = Result::kUnhandledException;
    }
    CvCommon::String::DebugPrint(L"run result %08X", result);
    return result;
}

ResultCode LaunchWorkflow::RunSteps(std::wstring wstrCommandLine) {
    // Each run starts from the folder, whatever an earlier run left here.
    m_wstrPackagePath = m_wstrPackageDir;
    m_wstrLaunchPath.clear();
    const std::wstring wstrLabel = m_config.GetValue(L"ER", L"funId");
    const std::wstring wstrPrefix = g_bSilentRun ? L"Silent" : L"";
    ReportProgress(10);

    AnalyticsEvent event;
    event.SetCategory(L"Downloader");
    event.SetLabel(wstrLabel);

    ::OutputDebugStringW(L"FunId for this downloader is:");
    ::OutputDebugStringW(wstrLabel.c_str());
    ::OutputDebugStringW(wstrCommandLine.c_str());

    const ParsedCommandLine parsed = wstrCommandLine.size() > kMaxCommandLineChars
                                         ? ParsedCommandLine()
                                         : ParseCommandLine(wstrCommandLine);
    if (!parsed.bSplit) {
        ::OutputDebugStringW(L"CommandLineToArgvW failed");
        return Result::kBadCommandLine;
    }
    int nShowState = SW_SHOW;
    g_wstrLaunchArgs.clear();
    for (int i = 0; i < parsed.nSilentMarkers; ++i) {
        m_pObserver->OnHide();
        nShowState = SW_HIDE;
        g_wstrLaunchArgs = L"-s";
        ::OutputDebugStringW(L"silent run this exe...");
    }
    if (StopRequested())
        return Result::kCancelled;

    const std::wstring wstrAddress = ResolveDownloadAddress(parsed.options, Limits());
    ::OutputDebugStringW(L"ErUrl for this downloader is:");
    ::OutputDebugStringW(wstrAddress.c_str());
    if (StopRequested())
        return Result::kCancelled;
    if (wstrAddress.empty()) {
        Post(event, wstrPrefix, L"Downloader_GetErUrlFail");
        return Result::kNoAddress;
    }

    const bool bKeptPackage = wstrAddress.find(LAUNCHER_PLACEHOLDER_URL) != std::wstring::npos;
    // An unpacked archive replaces the build folder for good only once its
    // setup passed the check; any way out before that puts the old one back.
    UnpackedBuild unpacked;
    if (bKeptPackage) {
        Post(event, wstrPrefix, L"Downloader_CallLocalBuild");
        m_wstrLaunchPath = ReadRememberedLaunchPath();
    } else {
        Post(event, wstrPrefix, L"Downloader_Start_Download");
        // The package goes only into folders no one else may change; one
        // that cannot be had fails the download as an unwritable folder does.
        const ResultCode download =
            MakeTrustedFolder(m_wstrPackageDir) && MakeTrustedFolder(m_wstrBuildDir)
                ? Download(wstrAddress, m_wstrPackagePath)
                : Result::kCannotCreateFile;
        if (Result::Failed(download)) {
            Post(event, wstrPrefix, L"Downloader_Download_Fail");
            CvCommon::String::DebugPrint(L"download failed with error %04X, url is %ls", download,
                                         wstrAddress.c_str());
            return download;
        }
        ReportProgress(70);
        Post(event, wstrPrefix, L"Downloader_Download_Succeed");
        if (StopRequested())
            return Result::kCancelled;
        const ResultCode prepared = PrepareLaunchFile(unpacked);
        if (Result::Failed(prepared))
            return prepared;
    }
    if (StopRequested())
        return Result::kCancelled;

    ::OutputDebugStringW(m_wstrLaunchPath.c_str());
    if (!VerifyPackage(m_wstrLaunchPath, wstrAddress)) {
        if (StopRequested())
            return Result::kCancelled;
        ::OutputDebugStringW(L"check md5 failed!");
        Post(event, wstrPrefix, L"Downloader_CheckMd5_Fail");
        return Result::kIntegrityCheckFailed;
    }
    // Only a launch file that passed its check is kept and remembered for
    // later runs (which check it again against the store's current sidecar).
    unpacked.Keep();
    if (!bKeptPackage)
        RememberLaunchPath(m_wstrLaunchPath);
    ReportProgress(90);
    if (StopRequested())
        return Result::kCancelled;

    // From here on a new launcher may start.
    g_hInstanceSemaphore.reset();
    return StartSetup(event, wstrPrefix, nShowState);
}

ResultCode LaunchWorkflow::StartSetup(AnalyticsEvent& event, const std::wstring& wstrPrefix,
                                      int nShowState) {
    const std::wstring wstrCommand = L"\"" + m_wstrLaunchPath + L"\" " + g_wstrLaunchArgs;
    DWORD dwError = ERROR_SUCCESS;
    BOOL bCreated = FALSE;
    if (wstrCommand.size() >= kSetupCommandLineChars) {
        // A cut command line would start something else: refuse it.
        dwError = ERROR_FILENAME_EXCED_RANGE;
        ::OutputDebugStringW(L"setup command line is too long, not started");
    } else {
        wchar_t szCommand[kSetupCommandLineChars] = {};
        wstrCommand.copy(szCommand, wstrCommand.size());
        ::OutputDebugStringW(szCommand);

        CvCommon::Handle::UniqueProcessInformation process;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(nShowState);
        // The last moment a close can still keep the setup from starting.
        if (StopRequested())
            return Result::kCancelled;
#ifdef LAUNCHER_TEST_HOOKS
        TryToReplaceLaunchFile(m_wstrLaunchPath);
#endif
        bCreated =
            ::CreateProcessW(nullptr, szCommand, nullptr, nullptr, FALSE, CREATE_NEW_PROCESS_GROUP,
                             nullptr, nullptr, &startup, process.put());
        dwError = ::GetLastError();
        m_hVerifiedLaunchFile.reset();
        // The launcher never waits for the setup: its handles close here.
        process.reset();
    }
    if (!bCreated) {
        Post(event, wstrPrefix, L"Downloader_LaunchExe_Fail");
        return Result::FromPlatformError(dwError);
    }
    ReportProgress(100);
    Post(event, wstrPrefix, L"Downloader_LaunchExe_Succeed");
    EventDispatcher::Instance().WaitAll();
    return Result::kSuccess;
}
