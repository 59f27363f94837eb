#include "PackageFolders.h"

#include "ArchiveExtraction.h"

#include "CvComn_AccessControl.h"
#include "CvComn_BoundedFormat.h"
#include "CvComn_HResult.h"
#include "CvComn_Handle.h"
#include "Util_File.h"

#include <shlobj.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

// Siblings of the build folder while an archive is unpacked: the fresh folder,
// and the previous build folder while it steps aside. Each name ends in the
// process id of the launcher that made it.
constexpr wchar_t kUnpackSuffix[] = L".unpack-";
constexpr wchar_t kSteppedAsideSuffix[] = L".old-";
// A package folder that others could change, moved out of the way.
constexpr wchar_t kUntrustedSuffix[] = L".untrusted-";

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

std::wstring ProcessIdText() {
    return std::to_wstring(::GetCurrentProcessId());
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

} // namespace

std::wstring PackageBaseFolder(const LauncherConfig& config) {
    const std::wstring wstrConfigured = config.GetValue(L"build", L"localTempPath");
    if (!wstrConfigured.empty())
        return AnchoredPath(Util::ExpandEnvironmentString(wstrConfigured));
    wchar_t szAppData[MAX_PATH] = {};
    CvCommon::Error::CheckHResult(::SHGetFolderPathW(nullptr,
                                                     CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE,
                                                     nullptr, 0, szAppData),
                                  L"SHGetFolderPathW");
    return std::wstring(szAppData) + L"\\Corvane\\Temp";
}

bool MakeTrustedFolder(const std::wstring& wstrPath) {
    if (CvCommon::AccessControl::IsTrustedFolder(wstrPath))
        return true;
    if (::GetFileAttributesW(wstrPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        // Whatever is there may have been put there by someone else: it goes
        // (a link goes as a link; what it points to stays untouched).
        RemoveAbandonedSiblings(wstrPath, kUntrustedSuffix);
        const std::wstring wstrAside = wstrPath + kUntrustedSuffix + ProcessIdText();
        RemoveTree(wstrAside);
        if (!::MoveFileExW(wstrPath.c_str(), wstrAside.c_str(), 0)) {
            CvCommon::String::DebugPrint(
                L"folder %ls is not trusted and cannot be moved aside, error %lu", wstrPath.c_str(),
                ::GetLastError());
            return false;
        }
        CvCommon::String::DebugPrint(L"folder %ls was not trusted: moved aside and made anew",
                                     wstrPath.c_str());
        if (IsDirectory(wstrAside))
            RemoveTree(wstrAside);
        else
            ::DeleteFileW(wstrAside.c_str());
    }
    if (!::CreateDirectoryW(wstrPath.c_str(),
                            CvCommon::AccessControl::SecurityAttributes::ProtectedFolder().Get()))
        return false;
    return CvCommon::AccessControl::IsTrustedFolder(wstrPath);
}

UnpackedBuild::~UnpackedBuild() {
    try {
        PutBack();
    } catch (...) {
        // Out of memory: the folders stay as they are.
    }
}

void UnpackedBuild::PutBack() {
    const std::wstring wstrBuildDir = std::move(m_wstrBuildDir);
    const std::wstring wstrAside = std::move(m_wstrAside);
    m_wstrBuildDir.clear();
    m_wstrAside.clear();
    if (wstrBuildDir.empty() || wstrAside.empty())
        return;
    // The unpacked folder steps out under its unpacking name and goes.
    const std::wstring wstrOut = wstrBuildDir + kUnpackSuffix + ProcessIdText();
    const bool bOut = RemoveTree(wstrOut) && ::MoveFileW(wstrBuildDir.c_str(), wstrOut.c_str());
    if (!bOut || !::MoveFileW(wstrAside.c_str(), wstrBuildDir.c_str())) {
        // The unpacked folder stays; a later run removes the one aside.
        CvCommon::String::DebugPrint(L"the previous build folder cannot be put back, error %lu",
                                     ::GetLastError());
        if (bOut)
            ::MoveFileW(wstrOut.c_str(), wstrBuildDir.c_str());
        return;
    }
    RemoveTree(wstrOut);
}

bool UnpackedBuild::Unpack(const std::wstring& wstrZipPath, const std::wstring& wstrBuildDir) {
    // An unpacked folder still pending is given up first.
    PutBack();

    RemoveAbandonedSiblings(wstrBuildDir, kUnpackSuffix);
    RemoveAbandonedSiblings(wstrBuildDir, kSteppedAsideSuffix);
    const std::wstring wstrFresh = wstrBuildDir + kUnpackSuffix + ProcessIdText();
    const std::wstring wstrAside = wstrBuildDir + kSteppedAsideSuffix + ProcessIdText();
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
    m_wstrBuildDir = wstrBuildDir;
    if (bHadBuildDir)
        m_wstrAside = wstrAside;
    return true;
}

void UnpackedBuild::Keep() {
    if (!m_wstrAside.empty())
        RemoveTree(m_wstrAside);
    m_wstrBuildDir.clear();
    m_wstrAside.clear();
}
