#include "PackageSidecar.h"

#include "LauncherDeployment.h"

#include "CvComn_AccessControl.h"
#include "CvComn_Storage.h"
#include "CvComn_String.h"
#include "Util_String.h"

namespace {

constexpr DWORD kSidecarChunkBytes = 256;

} // namespace

std::wstring SidecarUrl(const std::wstring& wstrFilePath, const std::wstring& wstrUrl) {
    if (wstrUrl.find(LAUNCHER_PLACEHOLDER_URL) == std::wstring::npos)
        return wstrUrl + L"_MD5.txt";
    const size_t nSlash = wstrFilePath.rfind(L'\\');
    const std::wstring wstrName =
        nSlash == std::wstring::npos ? wstrFilePath : wstrFilePath.substr(nSlash + 1);
    return std::wstring(L"https://") + LAUNCHER_PACKAGE_STORE_HOST + L"/1.1/en-us/" + wstrName +
           L"_MD5.txt";
}

std::wstring SidecarFolder(const std::wstring& wstrFilePath, const std::wstring& wstrPackageDir) {
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

bool ReadSidecar(const std::wstring& wstrPath, std::wstring& wstrText) {
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
