#pragma once
// Formatting into fixed wide-character buffers. Nothing here allocates, so
// it stays usable while the process is failing (the crash handler).

#include <cstdarg>
#include <cstddef>

namespace CvCommon {
namespace String {

// Formats into a buffer of cchOut characters, cutting a longer text to
// cchOut - 1 characters; always terminated. A null format gives "".
void FormatTruncated(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...);
void FormatTruncatedV(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, va_list args);

// A debugger line: formatted into kDebugLineChars characters (a longer
// message is cut there) and written with OutputDebugStringW.
constexpr std::size_t kDebugLineChars = 512;
void DebugPrint(const wchar_t* pszFormat, ...);

// Formats into a buffer of cchOut characters; false, with an empty buffer,
// when the text does not fit whole (or the format is null or rejected).
bool FormatWhole(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...);

} // namespace String
} // namespace CvCommon
