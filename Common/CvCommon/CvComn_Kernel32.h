#pragma once
// Facts about the running system that kernel32 reports.

#include <windows.h>

#include <atomic>

namespace CvCommon {
namespace Kernel32 {

// The native processor architecture (wProcessorArchitecture), or
// kArchitectureUnknown until a query has succeeded.
constexpr WORD kArchitectureUnknown = 0xFFFF;
extern std::atomic<WORD> s_wArchitecture;

// True on an x64 system, also in a 32-bit process. The answer is cached once
// GetNativeSystemInfo could be called; a failed query is tried again next time.
bool Is64BitOperatingSystem();

} // namespace Kernel32
} // namespace CvCommon
