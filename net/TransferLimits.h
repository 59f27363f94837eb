#pragma once
// The bounds of one request and the stop request it honours: the defaults the
// program uses, and the wait for a request's end under both.

#include "CvComn_Synchronize.h"

#include <windows.h>

struct TransferLimits {
    static constexpr DWORD kDefaultWaitMs = 300000;
    static constexpr DWORD kDefaultStackTimeoutMs = 75000;

    // The whole request, body included.
    DWORD dwWaitMs = kDefaultWaitMs;
    // Each of WinHTTP's resolve, connect, send and receive time-outs.
    DWORD dwStackTimeoutMs = kDefaultStackTimeoutMs;
    // The run's stop request, when there is one: once set, the request in
    // flight is aborted (or, set before the request went out, never sent) and
    // the call returns ERROR_CANCELLED.
    const CvCommon::Synchronize::CancelSignal* pCancel = nullptr;
    // The unit of the waits between attempts: 1000 gives waits of about 1, 2
    // and 4 s, and a server's Retry-After in seconds.
    DWORD dwBackoffUnitMs = 1000;
};

// The limits of every transfer whose caller names none. In a build made with
// the CMake option LAUNCHER_TEST_HOOKS (tests only, never shipped) the
// environment variable LAUNCHER_TEST_WAIT_MS, decimal milliseconds from 1 to
// the default, shortens dwWaitMs, LAUNCHER_TEST_STACK_TIMEOUT_MS (1 to the
// default) WinHTTP's time-outs, and LAUNCHER_TEST_BACKOFF_UNIT_MS (1 to 1000)
// the waits between attempts; elsewhere these are the defaults above.
TransferLimits DefaultTransferLimits();

// True once the limits' stop request has been set.
bool IsStopRequested(const TransferLimits& limits) noexcept;

// Waits until hDone is signalled, the stop request is set or dwWaitMs ran
// out. 0 when hDone was signalled first, ERROR_CANCELLED when the stop
// request is set (it wins over a request that ended at the same moment),
// ERROR_WINHTTP_CANNOT_CONNECT (12029) when the bound ran out or the wait
// failed.
DWORD WaitForTransfer(HANDLE hDone, const TransferLimits& limits) noexcept;

// Waits dwMs before another attempt. False when the stop request was set
// before or during the wait (it ends the wait at once).
bool WaitBeforeRetry(DWORD dwMs, const TransferLimits& limits) noexcept;
