#include "CvComn_Log.h"

#include "CvComn_String.h"
#include "CvComn_TextConversion.h"

#include <shlwapi.h>

namespace CvCommon {
namespace Log {

Logger* g_pLogger = nullptr;

namespace {

// The source file name in the thread's ANSI code page, widened; false when
// it cannot be converted.
bool WidenFileName(const char* pszName, std::wstring& wstrOut) {
    return String::ConvertText(CP_THREAD_ACP, pszName, std::char_traits<char>::length(pszName),
                               wstrOut, nullptr);
}

} // namespace

bool ComposeLine(std::wstring& wstrOut, const SYSTEMTIME& st, DWORD dwProcessId, DWORD dwThreadId,
                 const std::wstring& wstrMark, const std::wstring& wstrTag,
                 const std::wstring& wstrMessage, const wchar_t* pszFileName,
                 unsigned long ulLine) {
    std::wstring wstrTime, wstrHeader, wstrTrailer;
    if (!String::Format(wstrTime, L"%02d/%02d/%04d %02d:%02d:%02d.%03d", st.wDay, st.wMonth,
                        st.wYear, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds))
        return false;
    if (!String::Format(wstrHeader, L" %04x:%04x %3ls <%ls> ", dwProcessId, dwThreadId,
                        wstrMark.c_str(), wstrTag.c_str()))
        return false;
    if (!String::Format(wstrTrailer, L" - %ls(%lu)\r\n", pszFileName ? pszFileName : L"(null)",
                        ulLine))
        return false;
    wstrOut = wstrTime + wstrHeader + wstrMessage + wstrTrailer;
    return true;
}

Logger::Logger(const std::wstring& wstrTag)
    : m_bEnabled(false), m_byFilterMode(0), m_dwLevelMask(0), m_wstrTag(wstrTag),
      m_pfnSink(nullptr), m_pSinkContext(nullptr) {}

bool Logger::Write(const char* pszFile, unsigned long ulLine, DWORD dwLevel,
                   const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    bool bResult = false;
    try {
        bResult = WriteV(pszFile, ulLine, dwLevel, pszFormat, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return bResult;
}

bool Logger::WriteV(const char* pszFile, unsigned long ulLine, DWORD dwLevel,
                    const wchar_t* pszFormat, va_list args) {
    if (!IsEnabled())
        return false;
    if (!IsLevelOn(dwLevel))
        return true;

    // Formatting happens outside both locks.
    std::wstring wstrMessage;
    if (!String::FormatArgs(wstrMessage, pszFormat, args))
        return false;

    SYSTEMTIME st;
    ::GetLocalTime(&st);
    std::wstring wstrLine;
    if (!FormatLine(wstrLine, st, pszFile, ulLine, dwLevel, wstrMessage))
        return false;

    Synchronize::SingleLock lock(&m_sinkLock);
    if (!m_pfnSink)
        return false;
    return m_pfnSink(m_pSinkContext, &st, wstrLine.c_str()) == 0;
}

bool Logger::IsEnabled() const {
    Synchronize::SingleLock lock(&m_stateLock);
    return m_bEnabled;
}

bool Logger::IsLevelOn(DWORD dwLevel) const {
    if (dwLevel == LevelForced)
        return true;
    Synchronize::SingleLock lock(&m_stateLock);
    return m_byFilterMode == 1 && (dwLevel & m_dwLevelMask) != 0;
}

bool Logger::IsInMask(DWORD dwLevel) const {
    Synchronize::SingleLock lock(&m_stateLock);
    return (dwLevel & m_dwLevelMask) != 0;
}

std::wstring Logger::LevelMark(DWORD dwLevel) {
    switch (dwLevel) {
    case LevelTrace:
        return L".w.";
    case LevelInfo:
        return L"@@@";
    case LevelError:
        return L"!!!";
    default:
        return L"???";
    }
}

std::wstring Logger::Tag() const {
    Synchronize::SingleLock lock(&m_stateLock);
    return m_wstrTag;
}

bool Logger::FormatLine(std::wstring& wstrOut, const SYSTEMTIME& st, const char* pszFile,
                        unsigned long ulLine, DWORD dwLevel,
                        const std::wstring& wstrMessage) const {
    std::wstring wstrFileName;
    const bool bHaveName = pszFile && WidenFileName(::PathFindFileNameA(pszFile), wstrFileName);
    return ComposeLine(wstrOut, st, ::GetCurrentProcessId(), ::GetCurrentThreadId(),
                       LevelMark(dwLevel), Tag(), wstrMessage,
                       bHaveName ? wstrFileName.c_str() : nullptr, ulLine);
}

void Logger::SetEnabled(bool bEnabled) {
    Synchronize::SingleLock lock(&m_stateLock);
    m_bEnabled = bEnabled;
}

void Logger::SetFilter(BYTE byFilterMode, DWORD dwLevelMask) {
    Synchronize::SingleLock lock(&m_stateLock);
    m_byFilterMode = byFilterMode;
    m_dwLevelMask = dwLevelMask;
}

void Logger::SetTag(const std::wstring& wstrTag) {
    Synchronize::SingleLock lock(&m_stateLock);
    m_wstrTag = wstrTag;
}

void Logger::SetSink(Sink pfnSink, void* pContext) {
    Synchronize::SingleLock lock(&m_sinkLock);
    m_pfnSink = pfnSink;
    m_pSinkContext = pContext;
}

} // namespace Log
} // namespace CvCommon
