#pragma once
// The one code-page conversion of the library: the platform is asked for the
// length first, then converts into an output of exactly that length. Every
// narrow/wide converter of the launcher is this template with its code page.

#include "CvComn_Error.h"

#include <windows.h>

#include <climits>
#include <cstddef>
#include <new>
#include <string>

namespace CvCommon {
namespace String {
namespace Detail {

inline int ConvertPass(UINT uCodePage, const wchar_t* pIn, int cchIn, char* pOut, int cbOut) {
    return ::WideCharToMultiByte(uCodePage, 0, pIn, cchIn, pOut, cbOut, nullptr, nullptr);
}

inline int ConvertPass(UINT uCodePage, const char* pIn, int cbIn, wchar_t* pOut, int cchOut) {
    return ::MultiByteToWideChar(uCodePage, 0, pIn, cbIn, pOut, cchOut);
}

} // namespace Detail

// Converts the nIn characters at pIn, which must be followed by a terminator,
// into strOut (cleared first). The terminator is converted too, so an empty
// text converts and characters after an embedded null survive. Errors: 87 for
// a text too long for the platform, the platform's error (13 when it names
// none) when the first pass fails, 6 when memory runs out, 13 when the two
// passes disagree. On success the error output is left as it was.
template <typename InChar, typename OutChar>
bool ConvertText(UINT uCodePage, const InChar* pIn, size_t nIn, std::basic_string<OutChar>& strOut,
                 DWORD* pdwError) {
    strOut.clear();
    if (nIn >= static_cast<size_t>(INT_MAX)) {
        Error::SetError(pdwError, ERROR_INVALID_PARAMETER);
        return false;
    }
    const int nInWithEnd = static_cast<int>(nIn) + 1;
    const int nNeeded = Detail::ConvertPass(uCodePage, pIn, nInWithEnd, nullptr, 0);
    if (nNeeded <= 0) {
        const DWORD dwError = ::GetLastError();
        Error::SetError(pdwError, dwError ? dwError : Error::kMismatch);
        return false;
    }
    try {
        strOut.resize(static_cast<size_t>(nNeeded));
    } catch (const std::bad_alloc&) {
        Error::SetError(pdwError, Error::kNoMemory);
        return false;
    }
    if (Detail::ConvertPass(uCodePage, pIn, nInWithEnd, &strOut[0], nNeeded) != nNeeded) {
        strOut.clear();
        Error::SetError(pdwError, Error::kMismatch);
        return false;
    }
    strOut.resize(static_cast<size_t>(nNeeded - 1)); // the converted terminator
    return true;
}

} // namespace String
} // namespace CvCommon
