#pragma once
// Result codes of the launcher's own operations. Read as a signed 32-bit
// number, every failure is negative and every success is not, so callers
// test the sign unless they need the detail.

#include <windows.h>

typedef DWORD ResultCode;

namespace Result {

constexpr ResultCode kSuccess = 0x20FF0000;
// The server answered 202: accepted but not processed yet.
constexpr ResultCode kAccepted = 0x60FF0003;
constexpr ResultCode kNoAddress = 0xE0FF0007;
// No usable file name (the private code of an unusable URL is the same).
constexpr ResultCode kNoFileName = 0xE0FF0008;
constexpr ResultCode kCannotCreateFile = 0xE0FF0011;
// The package did not pass its integrity check.
constexpr ResultCode kIntegrityCheckFailed = 0xE0FF0012;
// The command line could not be split into arguments.
constexpr ResultCode kBadCommandLine = 0xE0FF0013;
constexpr ResultCode kUnexpectedStatus = 0xE0FF0022;
constexpr ResultCode kTimedOut = 0xE0FF0029;
constexpr ResultCode kUnzipFailed = 0xE0170008;

// A platform error (or a private code) folded into the failure range.
constexpr ResultCode FromPlatformError(DWORD dwError) {
    return 0xE0FE0000 | (dwError & 0xFFFF);
}

// The run was stopped on request (ERROR_CANCELLED).
constexpr ResultCode kCancelled = FromPlatformError(ERROR_CANCELLED);
// The run ended by an exception (ERROR_UNHANDLED_EXCEPTION, 574, which not
// every SDK header names).
constexpr ResultCode kUnhandledException = FromPlatformError(574);

constexpr bool Failed(ResultCode code) {
    return static_cast<LONG>(code) < 0;
}
constexpr bool Succeeded(ResultCode code) {
    return !Failed(code);
}

} // namespace Result
