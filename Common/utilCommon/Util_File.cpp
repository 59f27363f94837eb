#include "Util_File.h"

#include "CvComn_Error.h"

#include "CvComn_Handle.h"

#include <shlwapi.h>

#include <memory>
#include <new>
#include <vector>

namespace {

using CvCommon::Error::kEnvVarNotFound;
using CvCommon::Error::kMissingArgument;

// First size tried for environment values and module paths, in characters.
constexpr DWORD kInitialBufferChars = MAX_PATH;

using CvCommon::Error::SetError;

bool IsSeparator(wchar_t ch) {
    return ch == L'\\' || ch == L'/';
}

// Index just past the path component that starts at nPos and the separator
// that ends it, if any.
size_t SkipComponent(const std::wstring& wstrPath, size_t nPos) {
    while (nPos < wstrPath.size() && !IsSeparator(wstrPath[nPos]))
        ++nPos;
    if (nPos < wstrPath.size())
        ++nPos;
    return nPos;
}

bool HasDriveAt(const std::wstring& wstrPath, size_t nPos) {
    return wstrPath.size() >= nPos + 2 && wstrPath[nPos + 1] == L':' &&
           ((wstrPath[nPos] >= L'A' && wstrPath[nPos] <= L'Z') ||
            (wstrPath[nPos] >= L'a' && wstrPath[nPos] <= L'z'));
}

size_t DriveRootLength(const std::wstring& wstrPath, size_t nPos) {
    nPos += 2;
    if (nPos < wstrPath.size() && IsSeparator(wstrPath[nPos]))
        ++nPos;
    return nPos;
}

// Reads one environment variable in full. False when it is undefined or
// empty (the platform reports both with a zero length).
bool ReadEnvironmentValue(const std::wstring& wstrName, std::wstring& wstrValue) {
    std::vector<wchar_t> vecBuffer(kInitialBufferChars, L'\0');
    // The value can change between the two calls (another thread), so the
    // size is asked for a few times at most.
    for (int nAttempt = 0; nAttempt < 4; ++nAttempt) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD cch = ::GetEnvironmentVariableW(wstrName.c_str(), vecBuffer.data(),
                                                    static_cast<DWORD>(vecBuffer.size()));
        const DWORD dwError = ::GetLastError();
        if (cch == 0 || dwError == ERROR_ENVVAR_NOT_FOUND)
            return false;
        if (cch < vecBuffer.size()) {
            wstrValue.assign(vecBuffer.data(), cch);
            return true;
        }
        // Too small: cch is the size needed, terminator included.
        vecBuffer.assign(cch, L'\0');
    }
    return false;
}

// Attributes that SetFileAttributesW accepts, read-only removed.
DWORD WritableAttributes(DWORD dwAttributes) {
    const DWORD dwSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                             FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                             FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD dwResult = dwAttributes & dwSettable;
    return dwResult ? dwResult : FILE_ATTRIBUTE_NORMAL;
}

} // namespace

namespace Util {

std::wstring ExpandEnvironmentString(const std::wstring& wstrText, DWORD* pdwError) {
    SetError(pdwError, ERROR_SUCCESS);
    std::wstring wstrResult;
    size_t nPos = 0; // next character of wstrText not yet copied
    for (;;) {
        const size_t nOpen = wstrText.find(L'%', nPos);
        if (nOpen == std::wstring::npos)
            break;
        // A colon before the reference (a drive letter) ends the expansion.
        const size_t nColon = wstrText.find(L':', nPos);
        if (nColon < nOpen)
            break;
        const size_t nClose = wstrText.find(L'%', nOpen + 1);
        if (nClose == std::wstring::npos)
            break;
        std::wstring wstrValue;
        if (!ReadEnvironmentValue(wstrText.substr(nOpen + 1, nClose - nOpen - 1), wstrValue)) {
            SetError(pdwError, kEnvVarNotFound);
            break;
        }
        // The value goes in as it is; scanning goes on after the reference.
        wstrResult.append(wstrText, nPos, nOpen - nPos);
        wstrResult += wstrValue;
        nPos = nClose + 1;
    }
    wstrResult.append(wstrText, nPos, std::wstring::npos);
    return wstrResult;
}

bool DeleteDirectoryContents(const std::wstring& wstrDirectory, DWORD* pdwError) {
    if (wstrDirectory.empty()) {
        SetError(pdwError, kMissingArgument);
        return false;
    }
    std::wstring wstrBase = wstrDirectory;
    if (!IsSeparator(wstrBase.back()))
        wstrBase += L'\\';

    WIN32_FIND_DATAW findData = {};
    CvCommon::Handle::UniqueFindHandle hFind(
        ::FindFirstFileW((wstrBase + L"*").c_str(), &findData));
    if (!hFind) {
        SetError(pdwError, ::GetLastError());
        return false;
    }

    DWORD dwFirstError = ERROR_SUCCESS;
    auto noteError = [&dwFirstError](DWORD dwError) {
        if (dwFirstError == ERROR_SUCCESS)
            dwFirstError = dwError ? dwError : ERROR_GEN_FAILURE;
    };

    do {
        const std::wstring wstrName = findData.cFileName;
        if (wstrName == L"." || wstrName == L"..")
            continue;
        const std::wstring wstrChild = wstrBase + wstrName;
        const DWORD dwAttributes = findData.dwFileAttributes;
        if (dwAttributes & FILE_ATTRIBUTE_READONLY)
            ::SetFileAttributesW(wstrChild.c_str(), WritableAttributes(dwAttributes));

        if (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or directory link is removed as a link: what it
            // points to lies outside this directory and stays untouched.
            if (!(dwAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                DWORD dwChildError = ERROR_SUCCESS;
                if (!DeleteDirectoryContents(wstrChild, &dwChildError))
                    noteError(dwChildError);
            }
            if (!::RemoveDirectoryW(wstrChild.c_str())) {
                const DWORD dwError = ::GetLastError();
                noteError(dwError);
            }
        } else if (!::DeleteFileW(wstrChild.c_str())) {
            const DWORD dwError = ::GetLastError();
            noteError(dwError);
        }
    } while (::FindNextFileW(hFind.get(), &findData));
    const DWORD dwFindError = ::GetLastError();
    if (dwFindError != ERROR_NO_MORE_FILES)
        noteError(dwFindError);

    SetError(pdwError, dwFirstError);
    return dwFirstError == ERROR_SUCCESS;
}

size_t PathRootLength(const std::wstring& wstrPath) {
    if (wstrPath.size() >= 2 && IsSeparator(wstrPath[0]) && IsSeparator(wstrPath[1])) {
        // "\\?\" and "\\.\" device prefixes.
        if (wstrPath.size() >= 4 && (wstrPath[2] == L'?' || wstrPath[2] == L'.') &&
            IsSeparator(wstrPath[3])) {
            const size_t nAfterPrefix = 4;
            if (HasDriveAt(wstrPath, nAfterPrefix))
                return DriveRootLength(wstrPath, nAfterPrefix);
            if (wstrPath.compare(nAfterPrefix, 3, L"UNC") == 0 && wstrPath.size() > 7 &&
                IsSeparator(wstrPath[7]))
                return SkipComponent(wstrPath, SkipComponent(wstrPath, 8));
            // A volume or device name.
            return SkipComponent(wstrPath, nAfterPrefix);
        }
        // "\\server\share\"
        return SkipComponent(wstrPath, SkipComponent(wstrPath, 2));
    }
    if (HasDriveAt(wstrPath, 0))
        return DriveRootLength(wstrPath, 0);
    if (!wstrPath.empty() && IsSeparator(wstrPath[0]))
        return 1;
    return 0;
}

bool CreateDirectoryPath(const std::wstring& wstrPath, DWORD* pdwError,
                         SECURITY_ATTRIBUTES* pSecurity) {
    if (wstrPath.empty()) {
        SetError(pdwError, kMissingArgument);
        return false;
    }
    const std::wstring wstrWork = wstrPath + L'\\';
    const size_t nRoot = PathRootLength(wstrWork);
    bool bAnyComponent = false;
    for (size_t i = (nRoot > 0 ? nRoot : 1); i < wstrWork.size(); ++i) {
        // Each separator that ends a non-empty component marks one prefix.
        if (!IsSeparator(wstrWork[i]) || IsSeparator(wstrWork[i - 1]))
            continue;
        bAnyComponent = true;
        const std::wstring wstrPrefix = wstrWork.substr(0, i);
        const DWORD dwAttributes = ::GetFileAttributesW(wstrPrefix.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES) {
            if (!(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                SetError(pdwError, ERROR_FILE_EXISTS);
                return false;
            }
            continue;
        }
        if (!::CreateDirectoryW(wstrPrefix.c_str(), pSecurity)) {
            const DWORD dwError = ::GetLastError();
            SetError(pdwError, dwError);
            if (dwError != ERROR_ALREADY_EXISTS)
                return false;
        }
    }
    if (!bAnyComponent) {
        // Only a root was given (a drive, a share): it is never created, but
        // it has to be there.
        if (::GetFileAttributesW(wstrPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
            const DWORD dwError = ::GetLastError();
            SetError(pdwError, dwError);
            return false;
        }
    }
    return true;
}

std::wstring GetModuleDirectory() {
    std::vector<wchar_t> vecBuffer(kInitialBufferChars, L'\0');
    for (;;) {
        const DWORD cch =
            ::GetModuleFileNameW(nullptr, vecBuffer.data(), static_cast<DWORD>(vecBuffer.size()));
        if (cch == 0)
            return std::wstring();
        if (cch < vecBuffer.size()) {
            vecBuffer.resize(cch);
            break;
        }
        // Truncated: the longest path the platform handles is 32767 characters.
        if (vecBuffer.size() > 32768)
            return std::wstring();
        vecBuffer.assign(vecBuffer.size() * 2, L'\0');
    }
    const std::wstring wstrPath(vecBuffer.begin(), vecBuffer.end());
    const size_t nRoot = PathRootLength(wstrPath);
    const size_t nLast = wstrPath.find_last_of(L"\\/");
    if (nLast == std::wstring::npos)
        return std::wstring();
    if (nLast < nRoot)
        return wstrPath.substr(0, nRoot);
    return wstrPath.substr(0, nLast);
}

bool ReadFixedFileInfo(const wchar_t* pszPath, VS_FIXEDFILEINFO& info) {
    if (!pszPath || !*pszPath)
        return false;
    DWORD dwHandle = 0;
    const DWORD cbInfo = ::GetFileVersionInfoSizeW(pszPath, &dwHandle);
    if (cbInfo == 0)
        return false;
    const std::unique_ptr<BYTE[]> pData(new (std::nothrow) BYTE[cbInfo]());
    if (!pData || !::GetFileVersionInfoW(pszPath, 0, cbInfo, pData.get()))
        return false;
    void* pValue = nullptr;
    UINT cbValue = 0;
    if (!::VerQueryValueW(pData.get(), L"\\", &pValue, &cbValue) || pValue == nullptr ||
        cbValue < sizeof(VS_FIXEDFILEINFO))
        return false;
    info = *static_cast<const VS_FIXEDFILEINFO*>(pValue);
    return true;
}

std::wstring GetFileVersionString(const std::wstring& wstrPath) {
    VS_FIXEDFILEINFO info = {};
    if (!ReadFixedFileInfo(wstrPath.c_str(), info))
        return std::wstring();
    wchar_t szVersion[32] = {};
    ::wsprintfW(szVersion, L"%d.%d.%d", static_cast<int>(HIWORD(info.dwFileVersionMS)),
                static_cast<int>(LOWORD(info.dwFileVersionMS)),
                static_cast<int>(LOWORD(info.dwFileVersionLS)));
    return szVersion;
}

} // namespace Util
