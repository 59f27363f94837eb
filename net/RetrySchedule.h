#pragma once
// The attempts of one request: after a failed attempt it decides whether
// another follows, writes one debugger line for it and waits the backoff
// (or the server's Retry-After), ending the wait at once on a stop request.

#include "TransferLimits.h"

#include <windows.h>

#include <string>

class RetrySchedule {
public:
    explicit RetrySchedule(const TransferLimits& limits);

    // After an attempt that failed with the platform error dwError (0 when
    // the exchange completed) and HTTP status dwStatus (0 when no response
    // came). bProgress: the attempt added bytes to what is kept, which gives
    // the request its full count of retries again and lets the next attempt
    // start without a backoff wait (a server's Retry-After still holds; an
    // attempt cut soon after it began may do so only a few times in a row). True
    // when the next attempt should start now; false when the failure is
    // final, the retries or the download's budget are used up, or the stop
    // request came (then Cancelled() tells).
    bool Next(DWORD dwError, DWORD dwStatus, const std::wstring& wstrRetryAfter, bool bProgress);

    // After an attempt that never reached its proxy (dwWaitError 0, no
    // status, and the transfer ended with "cannot connect" or "name not
    // resolved"): the next proxy candidate is taken, and true means the next
    // attempt should start at once, without counting as a retry.
    bool FailOverProxy(DWORD dwWaitError, DWORD dwStatus, DWORD dwTransferError);

    bool Cancelled() const { return m_bCancelled; }
    // Retries that have followed so far.
    int Retries() const { return m_nTotalRetries; }

private:
    const TransferLimits& m_limits;
    // An attempt that lasted this long was a working transfer; a cut one that
    // did not may resume at once only this many times in a row.
    static constexpr DWORD kLongAttemptMs = 1000;
    static constexpr int kMaxQuickResumes = 3;

    // Retries since the last attempt that made progress.
    int m_nRetries = 0;
    int m_nQuickResumes = 0;
    int m_nTotalRetries = 0;
    DWORD m_dwLastProgressTick;
    DWORD m_dwAttemptTick; // when the current attempt began
    unsigned long m_ulSeed;
    bool m_bCancelled = false;
};
