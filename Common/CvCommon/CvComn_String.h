#pragma once
// Text conversion and formatting. Results are a bool plus an optional error
// code output: 0 or a platform error, 6 when memory runs out, 13 when the two
// passes of a conversion disagree.

#include "CvComn_Exception.h"

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <string>

namespace CvCommon {
namespace String {

// Thrown (allocated with new, thrown as a pointer) by the formatters when a
// buffer cannot be allocated; m_nCode is 6.
class Exception : public CvCommon::Exception::Base {
public:
    Exception(int nCode, int nLine, const char* pszFile)
        : Base(nCode), m_nLine(nLine), m_strFile(pszFile ? pszFile : "") {}

    int m_nLine;
    std::string m_strFile;
};

bool WCharToUTF8(const std::wstring& wstrIn, std::string& strOut, DWORD* pdwError = nullptr);
bool UTF8ToWChar(const std::string& strIn, std::wstring& wstrOut, DWORD* pdwError = nullptr);

// Percent-encodes one URL query value as UTF-8: letters, digits, "-", ".",
// "_" and "~" stay as they are. Empty when the text cannot be converted.
std::wstring EncodeQueryValue(const std::wstring& wstrValue);

// The process-wide starting size of the growing formatter, in wide
// characters: 256 once first used.
size_t DefaultFormatSize();

// Formats into wstrOut with a buffer that doubles until the text fits. False
// (output empty) when the C runtime rejects the format or it is null.
bool Format(std::wstring& wstrOut, const wchar_t* pszFormat, ...);
// Format for a caller that holds a va_list (left unused, for the caller to end).
bool FormatArgs(std::wstring& wstrOut, const wchar_t* pszFormat, va_list args);

// One attempt of Format with a buffer of nSize wide characters: on truncation
// doubles nSize and returns false (the caller repeats with a fresh copy of the
// same arguments); on success assigns and returns true. A rejected or null
// format sets nSize to 0 and returns false: a caller's loop stops there.
bool FormatV(std::wstring& wstrOut, size_t& nSize, const wchar_t* pszFormat, va_list args);

bool ToUpper(std::wstring& wstr);
bool ULongToString(unsigned long ulValue, int nRadix, std::wstring& wstrOut);
void AppendBackslash(std::wstring& wstrPath);

} // namespace String
} // namespace CvCommon
