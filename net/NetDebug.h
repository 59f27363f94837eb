#pragma once
// Debugger-output messages of the transfer code. Formatted messages go through
// a fixed buffer and are cut to fit it; texts without values are written
// unchanged.

#include <cstdarg>
#include <cstddef>
#include <string>

namespace NetDebug {

constexpr size_t kMessageBuffer = 512;
constexpr size_t kProxyMessageBuffer = 2048;

// Formats into a buffer of nBuffer wide characters (at least 1); a longer
// message is cut to nBuffer - 1 characters. Returns the text as formatted. A
// null string argument prints as the runtime's null text.
std::wstring FormatBounded(size_t nBuffer, const wchar_t* pszFormat, ...);
std::wstring FormatBoundedV(size_t nBuffer, const wchar_t* pszFormat, va_list args);

// Writes a message formatted into kMessageBuffer characters.
void Print(const wchar_t* pszFormat, ...);
// Writes a message formatted into kProxyMessageBuffer characters.
void PrintLong(const wchar_t* pszFormat, ...);
// Writes the text as it is.
void Text(const std::wstring& wstrText);

} // namespace NetDebug
