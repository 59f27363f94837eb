#pragma once
// Bounded text helpers of the crash handler: nothing here allocates, so they
// stay usable while the process is failing.

#include <cstddef>

namespace CrashText {

// Formats into a fixed buffer, cutting what does not fit; always terminated.
void FormatTruncated(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...);

// Formats into a fixed buffer; false, with an empty buffer, when the text does
// not fit whole.
bool FormatWhole(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...);

// The part of a path after its last separator.
const wchar_t* FileNamePart(const wchar_t* pszPath);

} // namespace CrashText
