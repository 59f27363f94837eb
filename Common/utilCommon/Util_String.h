#pragma once
// Text helpers of the launcher: code-page conversions, number parsing,
// trimming, splitting and lower-casing. Conversions report through a bool and
// an optional error output (0 or a platform error, 6 when memory runs out, 13
// when the two conversion passes disagree).

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

// wcstoul of the whole text. True only when at least one character was read,
// nothing is left over and the value is in range; ulOut receives wcstoul's
// value in every case (ULONG_MAX on overflow). Radix 0 means automatic base.
bool StringToULong(unsigned long& ulOut, const std::wstring& wstrText, int nRadix);

// Remove blanks (U+0020 only) from the start, the end or both ends.
void TrimLeft(std::wstring& wstr);
void TrimRight(std::wstring& wstr);
void Trim(std::wstring& wstr);

// Cuts wstrText at every occurrence of the separator string and appends the
// trimmed pieces to vecOut (which is not cleared). Empty pieces are kept only
// with bKeepEmpty. One blank is appended to the text before cutting, so a
// separator ending in a blank also matches at the very end. An empty
// separator leaves the text as one piece.
void Split(std::vector<std::wstring>& vecOut, const std::wstring& wstrText,
           const std::wstring& wstrSeparator, bool bKeepEmpty);

// Lower-cases in place with the C runtime; false only when memory runs out.
bool ToLower(std::wstring& wstr);

} // namespace Util
