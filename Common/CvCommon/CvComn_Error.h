#pragma once
// The library's own result codes and the optional error-code output that
// most of its operations take.

#include <windows.h>

namespace CvCommon {
namespace Error {

constexpr DWORD kNotOpen = 6;           // not open or not loaded; also out of memory
constexpr DWORD kNoMemory = 6;          // an allocation failed in a conversion
constexpr DWORD kMismatch = 13;         // a conversion or read length did not match
constexpr DWORD kEndOfFile = 38;        // a read returned no bytes
constexpr DWORD kMissingArgument = 160; // a required argument is missing or empty
constexpr DWORD kAlreadyExists = 183;   // a folder already existed
constexpr DWORD kEnvVarNotFound = 203;  // an environment variable was not found
constexpr DWORD kAlreadyOpen = 5010;    // already open or already loaded

// Writes dwError to the optional output.
inline void SetError(DWORD* pdwError, DWORD dwError) {
    if (pdwError)
        *pdwError = dwError;
}

} // namespace Error
} // namespace CvCommon
