#pragma once
// The check of a zip entry's name before anything is unpacked: pure text
// work, free of platform calls.

#include <string>

// The entry's path with backslashes, or empty when the name would lead
// outside the destination or cannot be a Windows path: an absolute path, a
// drive, a "..", a colon, a device name or a character that Windows refuses
// in file names.
std::wstring SafeArchiveEntryPath(const std::wstring& wstrEntryName);
