#pragma once
// String values in the registry. On a 64-bit operating system both functions
// use the 64-bit view of the registry (KEY_WOW64_64KEY), although the launcher
// is a 32-bit process.

#include <windows.h>

#include <string>

namespace Util {

// The text of a REG_SZ, REG_EXPAND_SZ (not expanded) or REG_MULTI_SZ (first
// string only) value, up to its first null character and never beyond the
// stored data. Empty on any failure, including values of other types; the
// optional error output then says why (ERROR_UNSUPPORTED_TYPE for a wrong
// type, ERROR_INVALID_DATA when the value changed between the two reads).
std::wstring ReadRegistryString(HKEY hRoot, const std::wstring& wstrSubKey,
                                const std::wstring& wstrValueName, DWORD* pdwError = nullptr);

// Creates the key if needed and stores the text as REG_SZ, terminator
// included. True only when the value was stored.
bool WriteRegistryString(HKEY hRoot, const std::wstring& wstrSubKey,
                         const std::wstring& wstrValueName, const std::wstring& wstrText,
                         DWORD* pdwError = nullptr);

} // namespace Util
