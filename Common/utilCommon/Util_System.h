#pragma once
// Facts about the machine that the launcher reports and relies on.

#include <windows.h>

#include <string>

namespace Util {

// True when the operating system itself is 64-bit x64, also when asked from
// a 32-bit process; false on 32-bit systems and where GetNativeSystemInfo is
// missing. The library's one answer (CvCommon::Kernel32), cached once known.
bool Is64BitOperatingSystem();

// "x64" for a 64-bit operating system, "win32" otherwise.
const wchar_t* PlatformName(bool b64BitOperatingSystem);
inline const wchar_t* GetPlatformName() {
    return PlatformName(Is64BitOperatingSystem());
}

// Language and country of the locale joined by a hyphen ("en-US"). The
// output starts as "en-us"; when the language cannot be read it stays so,
// when the country cannot be read it ends with the hyphen; both give false.
bool GetLocaleName(std::wstring& wstrOut, LCID lcid);

} // namespace Util
