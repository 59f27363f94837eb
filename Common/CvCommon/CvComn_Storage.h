#pragma once
// Files and paths. Results are a bool plus an optional error code output:
// 0, a platform error, or 6 (not open), 13 (short read), 38 (end of file),
// 160 (missing argument), 5010 (already open).

#include "CvComn_AccessControl.h"
#include "CvComn_Handle.h"

#include <windows.h>

#include <string>

namespace CvCommon {
namespace Storage {

// A file opened by path; the destructor closes it.
class FileBase {
public:
    explicit FileBase(const std::wstring& wstrPath);
    virtual ~FileBase() = default;

    // CreateFileW on the stored path with the given values.
    bool Open(const AccessControl::SecurityAttributes& sa, const DWORD& dwDesiredAccess,
              const DWORD& dwShareMode, const DWORD& dwCreationDisposition,
              const DWORD& dwFlagsAndAttributes, DWORD* pdwError = nullptr);
    bool Close(DWORD* pdwError = nullptr);

    // One ReadFile of dwLength bytes into the zeroed buffer. True only when
    // all dwLength bytes arrived; otherwise code 38 for no bytes, 13 for
    // fewer. pdwRead (may be null) receives the count whenever ReadFile succeeded.
    bool Read(void* pBuffer, DWORD dwLength, DWORD* pdwRead, DWORD* pdwError);
    bool Read(void* pBuffer, DWORD dwLength, DWORD* pdwError = nullptr);

    // The file size; a size that does not fit 32 bits is refused with
    // ERROR_FILE_TOO_LARGE rather than cut.
    bool GetSize(DWORD& dwSize, DWORD* pdwError = nullptr);
    bool IsOpen(DWORD* pdwError = nullptr) const;

private:
    Handle::UniqueHandle m_hFile;
    std::wstring m_wstrPath;
};

// True when FindFirstFileW finds the path; a wildcard pattern is true when
// anything matches.
bool FileExists(const std::wstring& wstrPath, DWORD* pdwError = nullptr);

// The Windows directory followed by "\temp"; the output is untouched on failure.
bool GetWindowsTempDirectory(std::wstring& wstrPath);

// Appends a backslash to wstrPath when it lacks one, then wstrName.
bool CombinePath(std::wstring& wstrPath, const std::wstring& wstrName);

} // namespace Storage
} // namespace CvCommon
