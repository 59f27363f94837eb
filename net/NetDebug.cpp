#include "NetDebug.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

// Writes at most nBuffer - 1 characters; a longer text is cut there, and the
// last element always holds the terminator.
void FormatInto(wchar_t* pszBuffer, size_t nBuffer, const wchar_t* pszFormat, va_list args) {
    pszBuffer[0] = L'\0';
    if (pszFormat != nullptr)
        _vsnwprintf(pszBuffer, nBuffer - 1, pszFormat, args);
    pszBuffer[nBuffer - 1] = L'\0';
}

} // namespace

namespace NetDebug {

std::wstring FormatBoundedV(size_t nBuffer, const wchar_t* pszFormat, va_list args) {
    if (nBuffer == 0)
        return std::wstring();
    std::vector<wchar_t> vecBuffer(nBuffer, L'\0');
    FormatInto(vecBuffer.data(), nBuffer, pszFormat, args);
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
    wchar_t szBuffer[kMessageBuffer];
    va_list args;
    va_start(args, pszFormat);
    FormatInto(szBuffer, kMessageBuffer, pszFormat, args);
    va_end(args);
    ::OutputDebugStringW(szBuffer);
}

void PrintLong(const wchar_t* pszFormat, ...) {
    wchar_t szBuffer[kProxyMessageBuffer];
    va_list args;
    va_start(args, pszFormat);
    FormatInto(szBuffer, kProxyMessageBuffer, pszFormat, args);
    va_end(args);
    ::OutputDebugStringW(szBuffer);
}

void Text(const std::wstring& wstrText) {
    ::OutputDebugStringW(wstrText.c_str());
}

} // namespace NetDebug
