#include "CvComn_BoundedFormat.h"

#include <windows.h>

#include <cstdio>

namespace CvCommon {
namespace String {

void FormatTruncatedV(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, va_list args) {
    if (cchOut == 0)
        return;
    pszOut[0] = L'\0';
    if (pszFormat)
        _vsnwprintf(pszOut, cchOut, pszFormat, args);
    pszOut[cchOut - 1] = L'\0';
}

void FormatTruncated(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    FormatTruncatedV(pszOut, cchOut, pszFormat, args);
    va_end(args);
}

void DebugPrint(const wchar_t* pszFormat, ...) {
    wchar_t szLine[kDebugLineChars];
    va_list args;
    va_start(args, pszFormat);
    FormatTruncatedV(szLine, kDebugLineChars, pszFormat, args);
    va_end(args);
    ::OutputDebugStringW(szLine);
}

bool FormatWhole(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...) {
    if (cchOut == 0)
        return false;
    pszOut[0] = L'\0';
    if (!pszFormat)
        return false;
    va_list args;
    va_start(args, pszFormat);
    const int nWritten = _vsnwprintf(pszOut, cchOut, pszFormat, args);
    va_end(args);
    if (nWritten < 0 || static_cast<std::size_t>(nWritten) >= cchOut) {
        pszOut[0] = L'\0';
        return false;
    }
    return true;
}

} // namespace String
} // namespace CvCommon
