#pragma once
// The search of a downloaded sidecar's text for the package's digest: pure
// text work, free of platform calls.

#include <string>

// True when the sidecar text holds the digest anywhere (case-sensitive, so
// upper-case digits do not match). An empty digest never matches.
bool SidecarHoldsDigest(const std::wstring& wstrSidecarText, const std::wstring& wstrDigest);
