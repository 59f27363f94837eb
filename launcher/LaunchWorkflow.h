#pragma once
// The launcher's job: learn the package address, download and prepare the
// package, check it, start the setup, and report every milestone.

#include "LauncherConfig.h"
#include "ResultCode.h"

#include "AnalyticsEvent.h"

#include <windows.h>

#include <string>

class LaunchWorkflow {
public:
    // The process-wide workflow, created on first use and never destroyed.
    static LaunchWorkflow& Instance();

    // Sets up the package folders from the configuration.
    explicit LaunchWorkflow(const LauncherConfig& config);
    LaunchWorkflow(const LaunchWorkflow&) = delete;
    LaunchWorkflow& operator=(const LaunchWorkflow&) = delete;

    // Runs once: returns when the setup has been started or the run failed.
    ResultCode Run(std::wstring wstrCommandLine);

    // Sends a progress percentage to the progress window, unless the run was
    // told to be silent.
    static void ReportProgress(int nPercent);
    // The download's 0-100 % as 10-70 % of the whole run.
    static int DownloadProgressToOverall(DWORD dwPercent);

    // Chooses the launch file from the downloaded package (unpacking a zip
    // package) and remembers it in the registry.
    ResultCode PrepareLaunchFile();
    // True when the launch file's MD5 is in the sidecar published beside url.
    bool VerifyPackage(std::wstring wstrFilePath, std::wstring wstrUrl);
    // The whole file as wide text (UTF-8 on disk).
    static bool ReadSidecar(const std::wstring& wstrPath, std::wstring& wstrText);

    // The sidecar's URL for a launch file: the package's own address, or for
    // a kept package the store's base address and the file's name.
    static std::wstring SidecarUrl(const std::wstring& wstrFilePath, const std::wstring& wstrUrl);
    // The folder a sidecar is saved in: the launch path cut after "\Package",
    // or the launch file's own folder when it holds no such part.
    static std::wstring SidecarFolder(const std::wstring& wstrFilePath);

    const std::wstring& BuildDir() const { return m_wstrBuildDir; }
    const std::wstring& PackagePath() const { return m_wstrPackagePath; }
    const std::wstring& LaunchPath() const { return m_wstrLaunchPath; }
    void SetPackagePath(const std::wstring& wstrPath) { m_wstrPackagePath = wstrPath; }

private:
    void Post(AnalyticsEvent& event, const std::wstring& wstrPrefix, const wchar_t* pszAction);
    ResultCode StartSetup(AnalyticsEvent& event, const std::wstring& wstrPrefix, int nShowState);
    // Downloads into the folder wstrFolderInPathOut names; it then holds the
    // saved file's path.
    ResultCode Download(const std::wstring& wstrUrl, std::wstring& wstrFolderInPathOut);

    const LauncherConfig& m_config;
    std::wstring m_wstrBuildDir;
    std::wstring m_wstrPackagePath;
    std::wstring m_wstrLaunchPath;
};
