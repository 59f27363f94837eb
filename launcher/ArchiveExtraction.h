#pragma once
// Unpacking a zip package: through the shell's zip folder where there is one,
// otherwise by reading the archive itself.

#include "ArchiveEntryPath.h"

#include <windows.h>

#include <string>

// Copies every item of the zip archive into the destination folder. The shell
// does the work when it gives a folder object for the archive; when it gives
// none (no zip folder on this system), the archive is read directly. 0 (S_OK)
// on success, a negative HRESULT on failure.
HRESULT ExtractArchive(const std::wstring& wstrZipPath, const std::wstring& wstrDestination);

// Unpacks the archive by reading it directly. Every entry must name a
// relative path inside the destination: an absolute path, a drive, a "..",
// a colon or a character that Windows refuses in file names fails the whole
// archive before anything is written.
HRESULT ExtractArchiveDirectly(const std::wstring& wstrZipPath,
                               const std::wstring& wstrDestination);
