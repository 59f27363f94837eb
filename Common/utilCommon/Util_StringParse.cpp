#include "Util_StringParse.h"

#include <cerrno>
#include <cstdlib>
#include <cwchar>

namespace Util {

bool StringToULong(unsigned long& ulOut, const std::wstring& wstrText, int nRadix) {
    const wchar_t* pszBegin = wstrText.c_str();
    wchar_t* pszEnd = nullptr;
    errno = 0;
    ulOut = std::wcstoul(pszBegin, &pszEnd, nRadix);
    const bool bRangeError = (errno == ERANGE);
    const bool bConsumedSome = pszEnd != nullptr && pszEnd != pszBegin;
    const bool bConsumedAll = pszEnd == pszBegin + wstrText.size();
    return !bRangeError && bConsumedSome && bConsumedAll;
}

void TrimLeft(std::wstring& wstr) {
    const size_t nFirst = wstr.find_first_not_of(L' ');
    if (nFirst == std::wstring::npos)
        wstr.clear();
    else
        wstr.erase(0, nFirst);
}

void TrimRight(std::wstring& wstr) {
    const size_t nLast = wstr.find_last_not_of(L' ');
    if (nLast == std::wstring::npos)
        wstr.clear();
    else
        wstr.erase(nLast + 1);
}

void Trim(std::wstring& wstr) {
    TrimRight(wstr);
    TrimLeft(wstr);
}

void Split(std::vector<std::wstring>& vecOut, const std::wstring& wstrText,
           const std::wstring& wstrSeparator, bool bKeepEmpty) {
    const std::wstring wstrWork = wstrText + L' ';
    auto takePiece = [&](size_t nBegin, size_t nEnd) {
        std::wstring wstrPiece = wstrWork.substr(nBegin, nEnd - nBegin);
        Trim(wstrPiece);
        if (bKeepEmpty || !wstrPiece.empty())
            vecOut.push_back(std::move(wstrPiece));
    };

    size_t nBegin = 0;
    if (!wstrSeparator.empty()) {
        // Each match moves past the separator, so the loop always advances.
        for (size_t nFound = wstrWork.find(wstrSeparator, nBegin); nFound != std::wstring::npos;
             nFound = wstrWork.find(wstrSeparator, nBegin)) {
            takePiece(nBegin, nFound);
            nBegin = nFound + wstrSeparator.size();
        }
    }
    takePiece(nBegin, wstrWork.size());
}

int HexDigitValue(wchar_t ch) {
    if (ch >= L'0' && ch <= L'9')
        return ch - L'0';
    if (ch >= L'a' && ch <= L'f')
        return ch - L'a' + 10;
    if (ch >= L'A' && ch <= L'F')
        return ch - L'A' + 10;
    return -1;
}

} // namespace Util
