#pragma once
// Rules for file names that come from elsewhere (a server, an archive). Pure
// text handling: no platform calls, so every rule is cheap to test.

#include <string>

namespace CvCommon {
namespace FileName {

// True when Windows takes the name for a device whatever extension follows:
// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9 and LPT1-9, in any case, also
// with blanks before the extension ("con .txt").
bool IsDeviceName(const std::wstring& wstrName);

} // namespace FileName
} // namespace CvCommon
