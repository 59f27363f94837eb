#pragma once
// The package folders: where packages go, and an archive unpacked into the
// build folder all at once or not at all, kept only once it passed its check.

#include "LauncherConfig.h"

#include <string>

// The base of the package folders: the configured "localTempPath" (variables
// expanded, a relative path taken from the launcher's folder), else the
// all-users application data folder's "Corvane\Temp".
std::wstring PackageBaseFolder(const LauncherConfig& config);

// Makes the folder one that only administrators, the system and this user
// may change: a folder (or anything else) under that name that fails
// CvCommon::AccessControl::IsTrustedFolder is moved aside and removed, and the
// folder made anew with the protected descriptor. False when no trusted folder
// could be had there.
bool MakeTrustedFolder(const std::wstring& wstrPath);

// An archive unpacked in the build folder's place. The folder it replaced
// stays aside until Keep() (the unpacked setup passed its check); without
// that, the destructor puts it back, so a package that fails its check never
// costs the one verified before.
class UnpackedBuild {
public:
    UnpackedBuild() = default;
    UnpackedBuild(const UnpackedBuild&) = delete;
    UnpackedBuild& operator=(const UnpackedBuild&) = delete;
    ~UnpackedBuild();

    // Unpacks the archive into a fresh sibling of the build folder, which
    // takes the build folder's place only when the whole archive was
    // unpacked. On any failure the build folder is as it was and nothing
    // unpacked is left.
    bool Unpack(const std::wstring& wstrZipPath, const std::wstring& wstrBuildDir);
    // The unpacked folder stays; the one it replaced goes.
    void Keep();

private:
    // Gives the pending unpacked folder up and puts the replaced one back.
    void PutBack();

    std::wstring m_wstrBuildDir; // empty: nothing unpacked is pending
    std::wstring m_wstrAside;    // the replaced folder; empty when there was none
};
