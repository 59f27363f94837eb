#pragma once
// Number parsing, trimming and splitting: pure text work, free of platform
// calls, so that the code reading untrusted text can use it anywhere.

#include <string>
#include <vector>

namespace Util {

// wcstoul of the whole text. True only when at least one character was read,
// nothing is left over and the value is in range; ulOut receives wcstoul's
// value in every case (ULONG_MAX on overflow). Radix 0 means automatic base.
bool StringToULong(unsigned long& ulOut, const std::wstring& wstrText, int nRadix);

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(wchar_t ch);

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

} // namespace Util
