#pragma once
// File-system helpers of the launcher: environment expansion of paths,
// emptying and creating directories, the program's own directory and the
// version text of a file. Results are a bool plus an optional error output:
// 0 or a platform error, 160 for a missing argument, 183 for a directory that
// already existed, 203 for an undefined environment variable.

#include <windows.h>

#include <string>

namespace Util {

// Expands %NAME% references from left to right. A text with a colon before its
// first percent sign (a drive letter) is returned unchanged, and so is the
// rest of the text from the first reference that cannot be expanded, which
// also sets the error output to 203 (an undefined or empty variable). Values
// are inserted as they are and never scanned again, so a value that itself
// holds percent signs cannot make the expansion loop. Values of any length are
// read in full.
std::wstring ExpandEnvironmentString(const std::wstring& wstrText, DWORD* pdwError = nullptr);

// Removes everything inside the directory, clearing read-only attributes on
// the way, and keeps the directory itself. Links to directories (reparse
// points) are removed without touching what they point to. Every entry is
// tried; false with the first error when anything could not be removed.
bool DeleteDirectoryContents(const std::wstring& wstrDirectory, DWORD* pdwError = nullptr);

// Creates the directory and every missing parent. The root of the path (a
// drive, a UNC server and share, a \\?\ prefix) is never created. An existing
// directory gives true without touching the error output; a file standing
// where a directory is wanted gives false and ERROR_FILE_EXISTS (80).
// Folders it makes get the given security (null: the default).
bool CreateDirectoryPath(const std::wstring& wstrPath, DWORD* pdwError = nullptr,
                         SECURITY_ATTRIBUTES* pSecurity = nullptr);

// Length of the root part of a path that no directory creation may touch:
// "C:\" 3, "C:" 2, "\" 1, "\\server\share\" and "\\?\C:\" their full length,
// a relative path 0. Backslashes and slashes both separate.
size_t PathRootLength(const std::wstring& wstrPath);

// Directory of the running program file, without a trailing separator (a
// drive root keeps its backslash); empty on failure.
std::wstring GetModuleDirectory();

// The fixed part of a file's version resource (its file and product
// versions). False for a null or empty path, a file without a version
// resource and one whose resource cannot be read. Nothing here throws.
bool ReadFixedFileInfo(const wchar_t* pszPath, VS_FIXEDFILEINFO& info);

// Version text of the file's version resource: major, minor and the fourth
// (revision) number of the file version, so 1.2.3.4 gives "1.2.4"; empty on
// any failure, including a file without a version resource.
std::wstring GetFileVersionString(const std::wstring& wstrPath);

} // namespace Util
