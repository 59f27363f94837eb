#pragma once
// Messages from the run to the progress window, sent synchronously.

#include <windows.h>

// WPARAM: address of a 32-bit integer holding the percentage; LPARAM: 0.
constexpr UINT WM_DOWNLOAD_PROGRESS = WM_USER + 200;
// WPARAM: the failed run's result code.
constexpr UINT WM_DOWNLOAD_FAILED = WM_USER + 201;
// The run has ended.
constexpr UINT WM_DOWNLOAD_DONE = WM_USER + 202;
