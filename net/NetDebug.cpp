#include "NetDebug.h"

#include "CvComn_BoundedFormat.h"

#include <windows.h>

#include <vector>

namespace {

// Writes the message cut at nBuffer - 1 characters.
template <size_t nBuffer> void PrintBoundedV(const wchar_t* pszFormat, va_list args) {
    wchar_t szBuffer[nBuffer];
    CvCommon::String::FormatTruncatedV(szBuffer, nBuffer, pszFormat, args);
    ::OutputDebugStringW(szBuffer);
}

} // namespace

namespace NetDebug {

std::wstring FormatBoundedV(size_t nBuffer, const wchar_t* pszFormat, va_list args) {
    if (nBuffer == 0)
        return std::wstring();
    std::vector<wchar_t> vecBuffer(nBuffer, L'\0');
    CvCommon::String::FormatTruncatedV(vecBuffer.data(), nBuffer, pszFormat, args);
    return std::wstring(vecBuffer.data());
}

std::wstring FormatBounded(size_t nBuffer, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    std::wstring wstrOut = FormatBoundedV(nBuffer, pszFormat, args);
    va_end(args);
    return wstrOut;
}

void Print(const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    PrintBoundedV<kMessageBuffer>(pszFormat, args);
    va_end(args);
}

void PrintLong(const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    PrintBoundedV<kProxyMessageBuffer>(pszFormat, args);
    va_end(args);
}

void Text(const std::wstring& wstrText) {
    ::OutputDebugStringW(wstrText.c_str());
}

} // namespace NetDebug
