#pragma once
// The launch path of the last prepared package, remembered in the registry
// for runs that are told to use the package already on the machine.

#include "Util_Registry.h"

#include <windows.h>

#include <string>

constexpr const wchar_t* kPackageRegistryKey = L"SOFTWARE\\Corvane\\Downloader";
constexpr const wchar_t* kPackageRegistryValue = L"LocalPath";

inline std::wstring ReadRememberedLaunchPath() {
    return Util::ReadRegistryString(HKEY_LOCAL_MACHINE, kPackageRegistryKey, kPackageRegistryValue);
}

// Without the right to write there, nothing is remembered.
inline void RememberLaunchPath(const std::wstring& wstrPath) {
    Util::WriteRegistryString(HKEY_LOCAL_MACHINE, kPackageRegistryKey, kPackageRegistryValue,
                              wstrPath);
}
