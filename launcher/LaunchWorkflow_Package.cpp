// The package folders, the launch file's preparation and its integrity check.

#include "LaunchWorkflow.h"

#include "ArchiveExtraction.h"
#include "FileDigest.h"
#include "LauncherDeployment.h"

#include "CvComn_HResult.h"
#include "CvComn_Storage.h"
#include "CvComn_String.h"
#include "NetRequest.h"
#include "Util_File.h"
#include "Util_String.h"

#include <shlobj.h>

#include <cstdlib>
#include <cwchar>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kSidecarChunkBytes = 256;
// Siblings of the build folder while an archive is unpacked: the fresh folder,
// and the previous build folder while it steps aside. Each name ends in the
// process id of the launcher that made it.
constexpr wchar_t kUnpackSuffix[] = L".unpack-";
constexpr wchar_t kSteppedAsideSuffix[] = L".old-";

// A configured base folder relative to nothing in particular belongs to the
// launcher's own folder, not to whatever folder the caller started it in.
std::wstring AnchoredPath(const std::wstring& wstrPath) {
    std::wstring wstrAnchored = wstrPath;
    if (!wstrAnchored.empty() && Util::PathRootLength(wstrAnchored) == 0) {
        const std::wstring wstrModuleDir = Util::GetModuleDirectory();
        if (!wstrModuleDir.empty())
            wstrAnchored = wstrModuleDir + L"\\" + wstrAnchored;
    }
    if (Util::PathRootLength(wstrAnchored) < 3)
        return wstrAnchored;
    // One spelling of the folder ("." and ".." resolved, backslashes only).
    std::vector<wchar_t> vecFull(MAX_PATH);
    DWORD cch = ::GetFullPathNameW(wstrAnchored.c_str(), static_cast<DWORD>(vecFull.size()),
                                   vecFull.data(), nullptr);
    if (cch >= vecFull.size()) {
        vecFull.resize(cch + 1);
        cch = ::GetFullPathNameW(wstrAnchored.c_str(), static_cast<DWORD>(vecFull.size()),
                                 vecFull.data(), nullptr);
    }
    if (cch == 0 || cch >= vecFull.size())
        return wstrAnchored;
    std::wstring wstrFull(vecFull.data(), cch);
    while (wstrFull.size() > 3 && wstrFull.back() == L'\\')
        wstrFull.pop_back();
    return wstrFull;
}

std::wstring PackageBaseFolder(const LauncherConfig& config) {
    const std::wstring wstrConfigured = config.GetValue(L"build", L"localTempPath");
    if (!wstrConfigured.empty())
        return AnchoredPath(Util::ExpandEnvironmentString(wstrConfigured));
    wchar_t szAppData[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, szAppData);
    return std::wstring(szAppData) + L"\\Corvane\\Temp";
}

bool IsDirectory(const std::wstring& wstrPath) {
    const DWORD dwAttributes = ::GetFileAttributesW(wstrPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Removes a folder and everything in it; a folder that is not there is fine.
bool RemoveTree(const std::wstring& wstrFolder) {
    if (!IsDirectory(wstrFolder))
        return true;
    Util::DeleteDirectoryContents(wstrFolder);
    return ::RemoveDirectoryW(wstrFolder.c_str()) != FALSE;
}

// Siblings left behind by a launcher that ended before it could tidy up: the
// process that made them is gone.
void RemoveAbandonedSiblings(const std::wstring& wstrBuildDir, const wchar_t* pszSuffix) {
    const std::wstring wstrPattern = wstrBuildDir + pszSuffix + L"*";
    WIN32_FIND_DATAW found = {};
    CvCommon::Handle::UniqueFindHandle hFind(::FindFirstFileW(wstrPattern.c_str(), &found));
    if (!hFind)
        return;
    const size_t nSlash = wstrBuildDir.rfind(L'\\');
    const std::wstring wstrParent =
        nSlash == std::wstring::npos ? std::wstring() : wstrBuildDir.substr(0, nSlash + 1);
    const size_t nPrefix = wstrBuildDir.size() - wstrParent.size() + std::wcslen(pszSuffix);
    do {
        const std::wstring wstrName = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || wstrName.size() <= nPrefix)
            continue;
        const unsigned long ulPid = std::wcstoul(wstrName.c_str() + nPrefix, nullptr, 10);
        CvCommon::Handle::UniqueHandle hProcess(
            ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(ulPid)));
        if (ulPid != ::GetCurrentProcessId() && !hProcess)
            RemoveTree(wstrParent + wstrName);
    } while (::FindNextFileW(hFind.get(), &found));
}

// Unpacks the archive into a fresh sibling of the build folder, which takes
// the build folder's place only when the whole archive was unpacked. On any
// failure the build folder is as it was and nothing unpacked is left.
bool UnpackIntoBuildFolder(const std::wstring& wstrZipPath, const std::wstring& wstrBuildDir) {
    RemoveAbandonedSiblings(wstrBuildDir, kUnpackSuffix);
    RemoveAbandonedSiblings(wstrBuildDir, kSteppedAsideSuffix);
    const std::wstring wstrPid = std::to_wstring(::GetCurrentProcessId());
    const std::wstring wstrFresh = wstrBuildDir + kUnpackSuffix + wstrPid;
    const std::wstring wstrAside = wstrBuildDir + kSteppedAsideSuffix + wstrPid;
    if (!RemoveTree(wstrFresh) || !RemoveTree(wstrAside) || !Util::CreateDirectoryPath(wstrFresh))
        return false;
    if (!CvCommon::Error::CheckHResult(ExtractArchive(wstrZipPath, wstrFresh), L"ExtractArchive")) {
        RemoveTree(wstrFresh);
        return false;
    }
    const bool bHadBuildDir = IsDirectory(wstrBuildDir);
    if (bHadBuildDir && !::MoveFileW(wstrBuildDir.c_str(), wstrAside.c_str())) {
        ::OutputDebugStringW(L"the build folder cannot be replaced");
        RemoveTree(wstrFresh);
        return false;
    }
    if (!::MoveFileW(wstrFresh.c_str(), wstrBuildDir.c_str())) {
        ::OutputDebugStringW(L"the unpacked folder cannot be put in place");
        if (bHadBuildDir)
            ::MoveFileW(wstrAside.c_str(), wstrBuildDir.c_str());
        RemoveTree(wstrFresh);
        return false;
    }
    RemoveTree(wstrAside);
    return true;
}

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

ResultCode LaunchWorkflow::PrepareLaunchFile() {
    const size_t nDot = m_wstrPackagePath.rfind(L'.');
    if (nDot == std::wstring::npos)
        return Result::kNoFileName;
    std::wstring wstrExtension = m_wstrPackagePath.substr(nDot + 1);
    Util::ToLower(wstrExtension);

    if (wstrExtension == L"zip") {
        if (!UnpackIntoBuildFolder(m_wstrPackagePath, m_wstrBuildDir))
            return Result::kUnzipFailed;
        m_wstrLaunchPath = m_wstrBuildDir + L"\\" + m_config.GetValue(L"build", L"setup");
    } else if (wstrExtension == L"exe") {
        m_wstrLaunchPath = m_wstrPackagePath;
    }
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

std::wstring LaunchWorkflow::SidecarFolder(const std::wstring& wstrFilePath,
                                           const std::wstring& wstrPackageDir) {
    std::wstring wstrFileLower = wstrFilePath;
    std::wstring wstrPackageLower = wstrPackageDir;
    Util::ToLower(wstrFileLower);
    Util::ToLower(wstrPackageLower);
    if (!wstrPackageLower.empty() && wstrFileLower.size() > wstrPackageLower.size() + 1 &&
        wstrFileLower.compare(0, wstrPackageLower.size(), wstrPackageLower) == 0 &&
        wstrFileLower[wstrPackageLower.size()] == L'\\')
        return wstrPackageDir;
    const size_t nSlash = wstrFilePath.rfind(L'\\');
    return nSlash == std::wstring::npos ? std::wstring() : wstrFilePath.substr(0, nSlash);
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
    m_hVerifiedLaunchFile = std::move(hFile);
    return true;
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
