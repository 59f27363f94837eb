#include "CvComn_String.h"

#include "CvComn_Error.h"
#include "CvComn_TextConversion.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace CvCommon {
namespace String {

namespace {

using CvCommon::Error::kNoMemory;
const size_t kFirstFormatSize = 256;

// 0 until the first formatter asks for it; every thread that sets it writes
// the same value.
std::atomic<size_t> g_nDefaultFormatSize{0};

// A zeroed array, or null when it cannot be had (including sizes that the
// new expression itself rejects).
template <typename T> std::unique_ptr<T[]> AllocZeroed(size_t nCount) {
    try {
        return std::make_unique<T[]>(nCount);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

[[noreturn]] void ThrowNoMemory(int nLine) {
    throw Exception(kNoMemory, nLine, __FILE__);
}

} // namespace

// These two stop at an embedded null, as they always have.
bool WCharToUTF8(const std::wstring& wstrIn, std::string& strOut, DWORD* pdwError) {
    return ConvertText(CP_UTF8, wstrIn.c_str(), std::char_traits<wchar_t>::length(wstrIn.c_str()),
                       strOut, pdwError);
}

bool UTF8ToWChar(const std::string& strIn, std::wstring& wstrOut, DWORD* pdwError) {
    return ConvertText(CP_UTF8, strIn.c_str(), std::char_traits<char>::length(strIn.c_str()),
                       wstrOut, pdwError);
}

std::wstring EncodeQueryValue(const std::wstring& wstrValue) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::string strUtf8;
    if (!WCharToUTF8(wstrValue, strUtf8))
        return std::wstring();
    std::wstring wstrOut;
    wstrOut.reserve(strUtf8.size() * 3);
    for (unsigned char ch : strUtf8) {
        const bool bUnreserved = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                                 (ch >= '0' && ch <= '9') || ch == '-' || ch == '.' || ch == '_' ||
                                 ch == '~';
        if (bUnreserved) {
            wstrOut += static_cast<wchar_t>(ch);
        } else {
            wstrOut += L'%';
            wstrOut += kHex[ch >> 4];
            wstrOut += kHex[ch & 0xF];
        }
    }
    return wstrOut;
}

size_t DefaultFormatSize() {
    size_t nSize = g_nDefaultFormatSize.load();
    if (nSize == 0) {
        g_nDefaultFormatSize.store(kFirstFormatSize);
        nSize = kFirstFormatSize;
    }
    return nSize;
}

bool FormatV(std::wstring& wstrOut, size_t& nSize, const wchar_t* pszFormat, va_list args) {
    if (!pszFormat || nSize == 0) {
        nSize = 0;
        return false;
    }
    std::unique_ptr<wchar_t[]> buffer = AllocZeroed<wchar_t>(nSize);
    if (!buffer)
        ThrowNoMemory(__LINE__);

    errno = 0;
    const int nResult = ::_vsnwprintf_s_l(buffer.get(), nSize, _TRUNCATE, pszFormat, nullptr, args);
    if (nResult < 0) {
        // Truncation leaves errno alone; a rejected format sets EINVAL, and
        // a larger buffer would not help it.
        if (errno == EINVAL) {
            nSize = 0;
            return false;
        }
        if (nSize > SIZE_MAX / 2 / sizeof(wchar_t))
            ThrowNoMemory(__LINE__);
        nSize *= 2;
        return false;
    }
    try {
        wstrOut.assign(buffer.get(), static_cast<size_t>(nResult));
    } catch (const std::bad_alloc&) {
        ThrowNoMemory(__LINE__);
    }
    return true;
}

bool FormatArgs(std::wstring& wstrOut, const wchar_t* pszFormat, va_list args) {
    wstrOut.clear();
    size_t nSize = DefaultFormatSize();
    bool bDone = false;
    while (!bDone && nSize != 0) {
        va_list attempt;
        va_copy(attempt, args);
        try {
            bDone = FormatV(wstrOut, nSize, pszFormat, attempt);
        } catch (...) {
            va_end(attempt);
            throw;
        }
        va_end(attempt);
    }
    return bDone;
}

bool Format(std::wstring& wstrOut, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool bDone = false;
    try {
        bDone = FormatArgs(wstrOut, pszFormat, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return bDone;
}

bool ToUpper(std::wstring& wstr) {
    const size_t nCount = wstr.size() + 1;
    std::unique_ptr<wchar_t[]> copy = AllocZeroed<wchar_t>(nCount);
    if (!copy)
        return false;
    std::wmemcpy(copy.get(), wstr.c_str(), nCount);
    if (::_wcsupr_s(copy.get(), nCount) != 0)
        return false;
    // Same length as before, so the string's own storage suffices.
    wstr.assign(copy.get(), nCount - 1);
    return true;
}

bool ULongToString(unsigned long ulValue, int nRadix, std::wstring& wstrOut) {
    // _ultow_s hands a bad radix to the invalid-parameter handler; refuse it
    // here instead.
    if (nRadix < 2 || nRadix > 36)
        return false;
    wchar_t szBuffer[33] = {};
    if (::_ultow_s(ulValue, szBuffer, 33, nRadix) != 0)
        return false;
    try {
        wstrOut.assign(szBuffer);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void AppendBackslash(std::wstring& wstrPath) {
    if (!wstrPath.empty() && wstrPath.back() != L'\\')
        wstrPath.push_back(L'\\');
}

} // namespace String
} // namespace CvCommon
