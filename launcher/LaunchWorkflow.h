#pragma once
// The launcher's job: learn the package address, download and prepare the
// package, check it, start the setup, and report every milestone.

#include "LauncherConfig.h"
#include "PackageFolders.h"
#include "PackageSidecar.h"
#include "ResultCode.h"

#include "AnalyticsEvent.h"
#include "CvComn_Handle.h"
#include "CvComn_RunObserver.h"
#include "TransferSession.h"

#include <windows.h>

#include <string>

class LaunchWorkflow {
public:
    // The longest command line the platform can hand a process; a longer text
    // is refused like one that cannot be split.
    static constexpr size_t kMaxCommandLineChars = 32767;

    // The process-wide workflow, created on first use and never destroyed.
    static LaunchWorkflow& Instance();

    // Sets up the package folders from the configuration.
    explicit LaunchWorkflow(const LauncherConfig& config);
    LaunchWorkflow(const LaunchWorkflow&) = delete;
    LaunchWorkflow& operator=(const LaunchWorkflow&) = delete;

    // Runs once: returns when the setup has been started or the run failed.
    // The observer gets the progress (unless the run is told "-s") and is
    // asked to hide for "-s"; its stop request is read between the steps and
    // aborts a transfer in flight (the result is then Result::kCancelled, and
    // nothing later is started). No exception leaves it.
    ResultCode Run(std::wstring wstrCommandLine, CvCommon::RunObserver& observer);
    // The same with nobody watching (the silent run).
    ResultCode Run(std::wstring wstrCommandLine);

    // The download's 0-100 % as 10-70 % of the whole run, truncated.
    static int DownloadProgressToOverall(DWORD dwPercent);

    // Chooses the launch file from the downloaded package, unpacking a zip
    // package into a fresh folder that takes the build folder's place only
    // when unpacking succeeded; the folder it replaced stays with unpacked
    // until unpacked.Keep().
    ResultCode PrepareLaunchFile(UnpackedBuild& unpacked);
    // True when the launch file's MD5 is in the sidecar published beside url
    // and, in a build that pins publishers, a pinned certificate signed it.
    bool VerifyPackage(std::wstring wstrFilePath, std::wstring wstrUrl);
    // The sidecar rules (PackageSidecar.h), under the workflow's name.
    static bool ReadSidecar(const std::wstring& wstrPath, std::wstring& wstrText) {
        return ::ReadSidecar(wstrPath, wstrText);
    }
    static std::wstring SidecarUrl(const std::wstring& wstrFilePath, const std::wstring& wstrUrl) {
        return ::SidecarUrl(wstrFilePath, wstrUrl);
    }
    static std::wstring SidecarFolder(const std::wstring& wstrFilePath,
                                      const std::wstring& wstrPackageDir) {
        return ::SidecarFolder(wstrFilePath, wstrPackageDir);
    }

    const std::wstring& BuildDir() const { return m_wstrBuildDir; }
    const std::wstring& PackageDir() const { return m_wstrPackageDir; }
    const std::wstring& PackagePath() const { return m_wstrPackagePath; }
    const std::wstring& LaunchPath() const { return m_wstrLaunchPath; }
    void SetPackagePath(const std::wstring& wstrPath) { m_wstrPackagePath = wstrPath; }

private:
    ResultCode RunSteps(std::wstring wstrCommandLine);
    void ReportProgress(int nPercent);
    bool StopRequested() const;
    TransferLimits Limits() const;
    void Post(AnalyticsEvent& event, const std::wstring& wstrPrefix, const wchar_t* pszAction);
    ResultCode StartSetup(AnalyticsEvent& event, const std::wstring& wstrPrefix, int nShowState);
    // Downloads into the folder wstrFolderInPathOut names; it then holds the
    // saved file's path.
    ResultCode Download(const std::wstring& wstrUrl, std::wstring& wstrFolderInPathOut);

    const LauncherConfig& m_config;
    std::wstring m_wstrPackageDir;
    std::wstring m_wstrBuildDir;
    std::wstring m_wstrPackagePath;
    std::wstring m_wstrLaunchPath;
    // The launch file as digested, opened so that nobody can write, delete or
    // rename it, from its check until CreateProcessW has returned.
    CvCommon::Handle::UniqueHandle m_hVerifiedLaunchFile;
    // The observer of the run in progress.
    CvCommon::RunObserver* m_pObserver = nullptr;
    int m_nLastProgress = -1;
};
