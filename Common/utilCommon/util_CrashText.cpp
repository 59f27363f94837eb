#include "util_CrashText.h"

#include <cstdarg>
#include <cstdio>

namespace CrashText {

void FormatTruncated(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...) {
    if (cchOut == 0)
        return;
    va_list args;
    va_start(args, pszFormat);
    _vsnwprintf(pszOut, cchOut, pszFormat, args);
    va_end(args);
    pszOut[cchOut - 1] = L'\0';
}

bool FormatWhole(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszFormat, ...) {
    if (cchOut == 0)
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

const wchar_t* FileNamePart(const wchar_t* pszPath) {
    const wchar_t* pszName = pszPath;
    for (const wchar_t* p = pszPath; *p; ++p) {
        if (*p == L'\\' || *p == L'/')
            pszName = p + 1;
    }
    return pszName;
}

} // namespace CrashText
