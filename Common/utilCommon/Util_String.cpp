#include "Util_String.h"

#include "CvComn_TextConversion.h"

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string.h>

namespace Util {

bool WideToMultiByte(const std::wstring& wstrIn, std::string& strOut, UINT uCodePage,
                     DWORD* pdwError) {
    return CvCommon::String::ConvertText(uCodePage, wstrIn.c_str(), wstrIn.size(), strOut,
                                         pdwError);
}

bool MultiByteToWide(const std::string& strIn, std::wstring& wstrOut, UINT uCodePage,
                     DWORD* pdwError) {
    return CvCommon::String::ConvertText(uCodePage, strIn.c_str(), strIn.size(), wstrOut, pdwError);
}

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

bool ToLower(std::wstring& wstr) {
    try {
        std::vector<wchar_t> vecCopy(wstr.begin(), wstr.end());
        vecCopy.push_back(L'\0');
        if (_wcslwr_s(vecCopy.data(), vecCopy.size()) != 0)
            return false;
        wstr.assign(vecCopy.data(), vecCopy.size() - 1);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace Util
