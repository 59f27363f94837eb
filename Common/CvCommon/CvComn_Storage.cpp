#include "CvComn_Storage.h"

#include "CvComn_Error.h"

#include "CvComn_String.h"

#include <cstring>

namespace CvCommon {
namespace Storage {

namespace {

using CvCommon::Error::SetError;

} // namespace

FileBase::FileBase(const std::wstring& wstrPath) : m_wstrPath(wstrPath) {}

bool FileBase::Open(const AccessControl::SecurityAttributes& sa, const DWORD& dwDesiredAccess,
                    const DWORD& dwShareMode, const DWORD& dwCreationDisposition,
                    const DWORD& dwFlagsAndAttributes, DWORD* pdwError) {
    if (IsOpen()) {
        SetError(pdwError, ERROR_OBJECT_ALREADY_EXISTS);
        return false;
    }
    if (m_wstrPath.empty()) {
        SetError(pdwError, ERROR_BAD_ARGUMENTS);
        return false;
    }
    HANDLE hFile = ::CreateFileW(m_wstrPath.c_str(), dwDesiredAccess, dwShareMode, sa.Get(),
                                 dwCreationDisposition, dwFlagsAndAttributes, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        SetError(pdwError, ::GetLastError());
        return false;
    }
    m_hFile.reset(hFile);
    SetError(pdwError, ERROR_SUCCESS);
    return true;
}

bool FileBase::Close(DWORD* pdwError) {
    if (!IsOpen(pdwError))
        return false;
    m_hFile.reset();
    SetError(pdwError, ERROR_SUCCESS);
    return true;
}

bool FileBase::Read(void* pBuffer, DWORD dwLength, DWORD* pdwRead, DWORD* pdwError) {
    if (!IsOpen(pdwError))
        return false;
    if (!pBuffer) {
        SetError(pdwError, ERROR_BAD_ARGUMENTS);
        return false;
    }
    std::memset(pBuffer, 0, dwLength);
    DWORD dwRead = 0;
    if (!::ReadFile(m_hFile.get(), pBuffer, dwLength, &dwRead, nullptr)) {
        SetError(pdwError, ::GetLastError());
        return false;
    }
    if (pdwRead)
        *pdwRead = dwRead;
    if (dwRead == 0) {
        SetError(pdwError, ERROR_HANDLE_EOF);
        return false;
    }
    if (dwRead < dwLength) {
        SetError(pdwError, ERROR_INVALID_DATA);
        return false;
    }
    SetError(pdwError, ERROR_SUCCESS);
    return true;
}

bool FileBase::Read(void* pBuffer, DWORD dwLength, DWORD* pdwError) {
    return Read(pBuffer, dwLength, nullptr, pdwError);
}

bool FileBase::GetSize(DWORD& dwSize, DWORD* pdwError) {
    dwSize = 0;
    if (!IsOpen(pdwError))
        return false;
    LARGE_INTEGER liSize{};
    if (!::GetFileSizeEx(m_hFile.get(), &liSize)) {
        SetError(pdwError, ::GetLastError());
        return false;
    }
    if (liSize.HighPart != 0) {
        SetError(pdwError, ERROR_FILE_TOO_LARGE);
        return false;
    }
    dwSize = liSize.LowPart;
    SetError(pdwError, ERROR_SUCCESS);
    return true;
}

bool FileBase::IsOpen(DWORD* pdwError) const {
    const bool bOpen = m_hFile.valid();
    SetError(pdwError, bOpen ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
    return bOpen;
}

bool FileExists(const std::wstring& wstrPath, DWORD* pdwError) {
    if (wstrPath.empty()) {
        SetError(pdwError, ERROR_BAD_ARGUMENTS);
        return false;
    }
    WIN32_FIND_DATAW findData;
    Handle::UniqueFindHandle hFind(::FindFirstFileW(wstrPath.c_str(), &findData));
    if (!hFind) {
        SetError(pdwError, ::GetLastError());
        return false;
    }
    if (!::FindClose(hFind.release())) {
        SetError(pdwError, ::GetLastError());
        return false;
    }
    SetError(pdwError, ERROR_SUCCESS);
    return true;
}

bool GetWindowsTempDirectory(std::wstring& wstrPath) {
    wchar_t szWindows[MAX_PATH] = {};
    const UINT uLength = ::GetWindowsDirectoryW(szWindows, MAX_PATH);
    // A result of MAX_PATH or more is the size the path would need: nothing was written.
    if (uLength == 0 || uLength >= MAX_PATH)
        return false;
    wstrPath.assign(szWindows, uLength);
    wstrPath += L"\\temp";
    return true;
}

bool CombinePath(std::wstring& wstrPath, const std::wstring& wstrName) {
    String::AppendBackslash(wstrPath);
    wstrPath += wstrName;
    return true;
}

} // namespace Storage
} // namespace CvCommon
