#pragma once
// Text helpers of the launcher: code-page conversions, number parsing,
// trimming, splitting and lower-casing. Conversions report through a bool and
// an optional error output (0 or a platform error, 6 when memory runs out, 13
// when the two conversion passes disagree).

#include "Util_StringParse.h"

#include <windows.h>

#include <string>
#include <vector>

namespace Util {

// Wide text to narrow text in the given code page. The output is cleared
// first; on success the error output is left as it was.
bool WideToMultiByte(const std::wstring& wstrIn, std::string& strOut, UINT uCodePage,
                     DWORD* pdwError = nullptr);

// Narrow text in the given code page to wide text; the same rules.
bool MultiByteToWide(const std::string& strIn, std::wstring& wstrOut, UINT uCodePage,
                     DWORD* pdwError = nullptr);

// Lower-cases in place with the C runtime; false only when memory runs out.
bool ToLower(std::wstring& wstr);

} // namespace Util
