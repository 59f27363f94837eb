// The package folders, the launch file's preparation and its integrity check.

#include "LaunchWorkflow.h"

#include "ArchiveExtraction.h"
#include "FileDigest.h"
#include "LauncherDeployment.h"
#include "PackageRegistry.h"

#include "CvComn_Storage.h"
#include "CvComn_String.h"
#include "NetRequest.h"
#include "Util_File.h"
#include "Util_String.h"

#include <shlobj.h>

#include <vector>

namespace {

constexpr DWORD kSidecarChunkBytes = 256;

std::wstring PackageBaseFolder(const LauncherConfig& config) {
    const std::wstring wstrConfigured = config.GetValue(L"build", L"localTempPath");
    if (!wstrConfigured.empty())
        return Util::ExpandEnvironmentString(wstrConfigured);
    wchar_t szAppData[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, szAppData);
    return std::wstring(szAppData) + L"\\Corvane\\Temp";
}

} // namespace

LaunchWorkflow::LaunchWorkflow(const LauncherConfig& config) : m_config(config) {
    const std::wstring wstrBase = PackageBaseFolder(config);
    m_wstrBuildDir = wstrBase + L"\\Package\\Build";
    m_wstrPackagePath = wstrBase + L"\\Package";
    Util::CreateDirectoryPath(m_wstrBuildDir);
}

ResultCode LaunchWorkflow::PrepareLaunchFile() {
    const size_t nDot = m_wstrPackagePath.rfind(L'.');
    if (nDot == std::wstring::npos)
        return Result::kNoFileName;
    std::wstring wstrExtension = m_wstrPackagePath.substr(nDot + 1);
    Util::ToLower(wstrExtension);

    if (wstrExtension == L"zip") {
        Util::DeleteDirectoryContents(m_wstrBuildDir);
        if (FAILED(ExtractArchive(m_wstrPackagePath, m_wstrBuildDir)))
            return Result::kUnzipFailed;
        m_wstrLaunchPath = m_wstrBuildDir + L"\\" + m_config.GetValue(L"build", L"setup");
    } else if (wstrExtension == L"exe") {
        m_wstrLaunchPath = m_wstrPackagePath;
    }
    RememberLaunchPath(m_wstrLaunchPath);
    return Result::kSuccess;
}

std::wstring LaunchWorkflow::SidecarUrl(const std::wstring& wstrFilePath,
                                        const std::wstring& wstrUrl) {
    if (wstrUrl.find(LAUNCHER_PLACEHOLDER_URL) == std::wstring::npos)
        return wstrUrl + L"_MD5.txt";
    const size_t nSlash = wstrFilePath.rfind(L'\\');
    const std::wstring wstrName =
        nSlash == std::wstring::npos ? wstrFilePath : wstrFilePath.substr(nSlash + 1);
    return std::wstring(L"https://") + LAUNCHER_PACKAGE_STORE_HOST + L"/1.1/en-us/" + wstrName +
           L"_MD5.txt";
}

std::wstring LaunchWorkflow::SidecarFolder(const std::wstring& wstrFilePath) {
    static const std::wstring kPackage = L"\\Package";
    const size_t nPackage = wstrFilePath.find(kPackage);
    if (nPackage != std::wstring::npos)
        return wstrFilePath.substr(0, nPackage + kPackage.size());
    const size_t nSlash = wstrFilePath.rfind(L'\\');
    return nSlash == std::wstring::npos ? std::wstring() : wstrFilePath.substr(0, nSlash);
}

bool LaunchWorkflow::VerifyPackage(std::wstring wstrFilePath, std::wstring wstrUrl) {
    std::wstring wstrDigest;
    if (!ComputeFileMd5(wstrFilePath, wstrDigest))
        return false;
    std::wstring wstrSidecarPath = SidecarFolder(wstrFilePath);
    if (Result::Failed(Download(SidecarUrl(wstrFilePath, wstrUrl), wstrSidecarPath)))
        return false;
    std::wstring wstrSidecar;
    if (!ReadSidecar(wstrSidecarPath, wstrSidecar))
        return false;
    return SidecarHoldsDigest(wstrSidecar, wstrDigest);
}

bool LaunchWorkflow::ReadSidecar(const std::wstring& wstrPath, std::wstring& wstrText) {
    wstrText.clear();
    CvCommon::Storage::FileBase file(wstrPath);
    if (!file.Open(CvCommon::AccessControl::SecurityAttributes(), GENERIC_READ, 0, OPEN_EXISTING,
                   FILE_ATTRIBUTE_NORMAL))
        return false;
    DWORD dwSize = 0;
    if (!file.GetSize(dwSize))
        return false;
    std::string strBytes;
    char buffer[kSidecarChunkBytes];
    while (dwSize > 0) {
        const DWORD dwWanted = dwSize < kSidecarChunkBytes ? dwSize : kSidecarChunkBytes;
        DWORD dwRead = 0;
        file.Read(buffer, dwWanted, &dwRead, nullptr);
        // Only bytes that arrived count; a read that brings none ends it.
        if (dwRead == 0)
            break;
        strBytes.append(buffer, dwRead);
        dwSize -= dwRead;
    }
    file.Close();
    CvCommon::String::UTF8ToWChar(strBytes, wstrText);
    return true;
}
