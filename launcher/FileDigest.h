#pragma once
// The package's MD5 digest and the sidecar text it is checked against.

#include <string>

// Appends the 32 lower-case hexadecimal digits of the MD5 of the file's bytes
// to wstrDigest; false when the file cannot be opened or read.
bool ComputeFileMd5(const std::wstring& wstrPath, std::wstring& wstrDigest);

// True when the sidecar text holds the digest anywhere (case-sensitive, so
// upper-case digits do not match). An empty digest never matches.
bool SidecarHoldsDigest(const std::wstring& wstrSidecarText, const std::wstring& wstrDigest);
