#pragma once
// Loading of system DLLs from System32 only, never from the program's own
// folder (where a browser saves downloads) or the current directory.

#include <windows.h>

namespace CvCommon {
namespace SystemLibrary {

// Limits the process's DLL search to System32: SetDefaultDllDirectories where
// kernel32 has it, otherwise SetDllDirectoryW(L"") (which drops the current
// directory). Call before anything loads a DLL. True when the search was
// restricted to System32.
bool RestrictDllSearch();

// Loads a system DLL by its file name (no path) from System32 only:
// LOAD_LIBRARY_SEARCH_SYSTEM32 where supported, else the full System32 path.
// Null with the last error set on failure; a name holding a path separator
// is refused with ERROR_BAD_ARGUMENTS.
HMODULE Load(const wchar_t* pszName);
HMODULE Load(const char* pszName);

} // namespace SystemLibrary
} // namespace CvCommon
