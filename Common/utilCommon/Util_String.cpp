#include "Util_String.h"

#include "CvComn_Error.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string.h>

namespace {

using CvCommon::Error::kMismatch;
using CvCommon::Error::kNoMemory;

using CvCommon::Error::SetError;

} // namespace

namespace Util {

bool WideToMultiByte(const std::wstring& wstrIn, std::string& strOut, UINT uCodePage,
                     DWORD* pdwError) {
    strOut.clear();
    // The terminator is part of the converted length, so an empty text still
    // converts to one character and characters after an embedded null survive.
    if (wstrIn.size() >= static_cast<size_t>(INT_MAX)) {
        SetError(pdwError, ERROR_INVALID_PARAMETER);
        return false;
    }
    const int cchIn = static_cast<int>(wstrIn.size()) + 1;
    const int cbNeeded =
        ::WideCharToMultiByte(uCodePage, 0, wstrIn.c_str(), cchIn, nullptr, 0, nullptr, nullptr);
    if (cbNeeded <= 0) {
        const DWORD dwError = ::GetLastError();
        SetError(pdwError, dwError ? dwError : kMismatch);
        return false;
    }
    char* pBuffer = new (std::nothrow) char[cbNeeded]();
    if (!pBuffer) {
        SetError(pdwError, kNoMemory);
        return false;
    }
    const int cbDone = ::WideCharToMultiByte(uCodePage, 0, wstrIn.c_str(), cchIn, pBuffer, cbNeeded,
                                             nullptr, nullptr);
    bool bOk = false;
    if (cbDone != cbNeeded) {
        SetError(pdwError, kMismatch);
    } else {
        try {
            strOut.assign(pBuffer, static_cast<size_t>(cbDone - 1));
            bOk = true;
        } catch (const std::bad_alloc&) {
            SetError(pdwError, kNoMemory);
        }
    }
    delete[] pBuffer;
    return bOk;
}

bool MultiByteToWide(const std::string& strIn, std::wstring& wstrOut, UINT uCodePage,
                     DWORD* pdwError) {
    wstrOut.clear();
    if (strIn.size() >= static_cast<size_t>(INT_MAX)) {
        SetError(pdwError, ERROR_INVALID_PARAMETER);
        return false;
    }
    const int cbIn = static_cast<int>(strIn.size()) + 1;
    const int cchNeeded = ::MultiByteToWideChar(uCodePage, 0, strIn.c_str(), cbIn, nullptr, 0);
    if (cchNeeded <= 0) {
        const DWORD dwError = ::GetLastError();
        SetError(pdwError, dwError ? dwError : kMismatch);
        return false;
    }
    wchar_t* pBuffer = new (std::nothrow) wchar_t[cchNeeded]();
    if (!pBuffer) {
        SetError(pdwError, kNoMemory);
        return false;
    }
    const int cchDone =
        ::MultiByteToWideChar(uCodePage, 0, strIn.c_str(), cbIn, pBuffer, cchNeeded);
    bool bOk = false;
    if (cchDone != cchNeeded) {
        SetError(pdwError, kMismatch);
    } else {
        try {
            wstrOut.assign(pBuffer, static_cast<size_t>(cchDone - 1));
            bOk = true;
        } catch (const std::bad_alloc&) {
            SetError(pdwError, kNoMemory);
        }
    }
    delete[] pBuffer;
    return bOk;
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
