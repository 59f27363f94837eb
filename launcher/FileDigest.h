#pragma once
// The package's MD5 digest and the sidecar text it is checked against.

#include "CvComn_Handle.h"
#include "SidecarDigest.h"

#include <string>

// Appends the 32 lower-case hexadecimal digits of the MD5 of the file's bytes
// to wstrDigest; false when the file cannot be opened or read. The file is
// opened with sharing that denies writes and deletes (renames); with pHeld
// that handle is handed out on success, so that the bytes digested stay the
// file's bytes for as long as the caller holds it.
bool ComputeFileMd5(const std::wstring& wstrPath, std::wstring& wstrDigest,
                    CvCommon::Handle::UniqueHandle* pHeld = nullptr);
