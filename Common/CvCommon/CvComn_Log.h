#pragma once
// Structured diagnostics: one line per call with time, process and thread,
// level mark, tag, message and source position, handed to a sink function.
// Callers go through g_pLogger (CVLOG below), which is empty unless a host
// installs a logger.

#include "CvComn_Synchronize.h"

#include <windows.h>

#include <cstdarg>
#include <string>

namespace CvCommon {
namespace Log {

enum : DWORD {
    LevelTrace = 0x00000001,
    LevelInfo = 0x00000010,
    LevelError = 0x00000100,
    // Passes the level filter (not the enable switch).
    LevelForced = 0x10000000,
};

// Receives a finished line (ending in "\r\n") and the local time stamped on
// it; returns 0 when it took the line. Calls are serialised per logger.
typedef int (*Sink)(void* pContext, const SYSTEMTIME* pTime, const wchar_t* pszLine);

// Assembles one line from its parts; no state, no system calls.
// A null file name prints as "(null)".
bool ComposeLine(std::wstring& wstrOut, const SYSTEMTIME& st, DWORD dwProcessId, DWORD dwThreadId,
                 const std::wstring& wstrMark, const std::wstring& wstrTag,
                 const std::wstring& wstrMessage, const wchar_t* pszFileName, unsigned long ulLine);

class Logger {
public:
    // Starts disabled, with filter mode 0, an empty mask and no sink.
    explicit Logger(const std::wstring& wstrTag = std::wstring());
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // False when disabled or when no sink took the line; true for a line the
    // level filter drops. Throws CvCommon::String::Exception when memory
    // for the message runs out.
    bool Write(const char* pszFile, unsigned long ulLine, DWORD dwLevel, const wchar_t* pszFormat,
               ...);
    bool WriteV(const char* pszFile, unsigned long ulLine, DWORD dwLevel, const wchar_t* pszFormat,
                va_list args);

    bool IsEnabled() const;
    // LevelForced always; any other level only in filter mode 1 with its bit
    // in the mask.
    bool IsLevelOn(DWORD dwLevel) const;
    bool IsInMask(DWORD dwLevel) const;
    static std::wstring LevelMark(DWORD dwLevel);
    std::wstring Tag() const;

    // Builds the line for the current process and thread; pszFile is reduced
    // to its last path component.
    bool FormatLine(std::wstring& wstrOut, const SYSTEMTIME& st, const char* pszFile,
                    unsigned long ulLine, DWORD dwLevel, const std::wstring& wstrMessage) const;

    void SetEnabled(bool bEnabled);
    void SetFilter(BYTE byFilterMode, DWORD dwLevelMask);
    void SetTag(const std::wstring& wstrTag);
    void SetSink(Sink pfnSink, void* pContext);

private:
    bool m_bEnabled;
    BYTE m_byFilterMode;
    DWORD m_dwLevelMask;
    mutable Synchronize::CriticalSection m_stateLock; // also guards m_wstrTag
    std::wstring m_wstrTag;
    Sink m_pfnSink;
    void* m_pSinkContext;
    mutable Synchronize::CriticalSection m_sinkLock; // held across the sink call
};

// The process-wide logger; null unless a host installs one.
extern Logger* g_pLogger;

} // namespace Log
} // namespace CvCommon

// Writes through g_pLogger when one is installed, with the caller's position:
// CVLOG(CvCommon::Log::LevelError, L"failed: error = %d", dwError);
#define CVLOG(level, ...)                                                                          \
    do {                                                                                           \
        ::CvCommon::Log::Logger* pCvLogger_ = ::CvCommon::Log::g_pLogger;                          \
        if (pCvLogger_)                                                                            \
            pCvLogger_->Write(__FILE__, __LINE__, (level), __VA_ARGS__);                           \
    } while (0)
