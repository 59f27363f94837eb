#pragma once
// The rule for an archive entry's name, which comes from the archive and is
// not to be trusted. Pure text handling, free of platform calls.

#include <string>

// The entry's path with backslashes, or empty when the name would lead
// outside the destination or cannot be a Windows path: an absolute path, a
// drive, a "..", a colon, a device name or a character that Windows refuses
// in file names.
std::wstring SafeArchiveEntryPath(const std::wstring& wstrEntryName);
