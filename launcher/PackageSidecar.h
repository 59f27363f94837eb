#pragma once
// The MD5 sidecar of a launch file: where it is fetched from, where it is
// saved, and its text.

#include <windows.h>

#include <string>

// The sidecar's URL for a launch file: the package's own address, or for a
// kept package the store's base address and the file's name.
std::wstring SidecarUrl(const std::wstring& wstrFilePath, const std::wstring& wstrUrl);
// The folder a sidecar is saved in: the package folder for a launch file
// inside it (the build folder included), else the launch file's own folder.
std::wstring SidecarFolder(const std::wstring& wstrFilePath, const std::wstring& wstrPackageDir);
// The whole file as wide text (UTF-8 on disk).
bool ReadSidecar(const std::wstring& wstrPath, std::wstring& wstrText);
