#pragma once
// The package folders: where packages go, and an archive unpacked into the
// build folder all at once or not at all.

#include "LauncherConfig.h"

#include <string>

// The base of the package folders: the configured "localTempPath" (variables
// expanded, a relative path taken from the launcher's folder), else the
// all-users application data folder's "Corvane\Temp".
std::wstring PackageBaseFolder(const LauncherConfig& config);

// Unpacks the archive into a fresh sibling of the build folder, which takes
// the build folder's place only when the whole archive was unpacked. On any
// failure the build folder is as it was and nothing unpacked is left.
bool UnpackIntoBuildFolder(const std::wstring& wstrZipPath, const std::wstring& wstrBuildDir);
