#include "RetrySchedule.h"

#include "NetDebug.h"
#include "ProxySettings.h"
#include "TransferPolicy.h"

RetrySchedule::RetrySchedule(const TransferLimits& limits)
    : m_limits(limits), m_dwLastProgressTick(::GetTickCount()), m_dwAttemptTick(::GetTickCount()),
      m_ulSeed(::GetTickCount() ^ (::GetCurrentProcessId() << 16)) {}

bool RetrySchedule::Next(DWORD dwError, DWORD dwStatus, const std::wstring& wstrRetryAfter,
                         bool bProgress) {
    if (IsStopRequested(m_limits)) {
        m_bCancelled = true;
        return false;
    }
    if (!TransferPolicy::IsTransient(dwError, dwStatus))
        return false;
    if (bProgress) {
        m_nRetries = 0;
        m_dwLastProgressTick = ::GetTickCount();
    }
    if (m_nRetries >= TransferPolicy::kMaxRetries) {
        NetDebug::Print(L"giving up after %d retries", m_nRetries);
        return false;
    }
    if (::GetTickCount() - m_dwLastProgressTick >= TransferPolicy::kOverallBudgetMs) {
        NetDebug::Text(L"giving up: the download made no progress within its budget");
        return false;
    }
    ++m_nRetries;
    ++m_nTotalRetries;

    // An attempt that got further than any before was cut in the middle of a
    // working transfer: the next one resumes at once, as nothing suggests the
    // server needs a rest. A server that cuts every attempt soon after it
    // began gets a few such resumes in a row, then the backoff again, so that
    // a little progress each time cannot make the retries a busy loop.
    // Without progress the backoff applies.
    const bool bLongAttempt = ::GetTickCount() - m_dwAttemptTick >= kLongAttemptMs;
    bool bResumeNow = false;
    if (!bProgress || bLongAttempt) {
        m_nQuickResumes = 0;
        bResumeNow = bProgress;
    } else {
        bResumeNow = ++m_nQuickResumes <= kMaxQuickResumes;
    }
    unsigned long ulWaitMs = 0;
    unsigned long ulServerMs = 0;
    if (!wstrRetryAfter.empty() && TransferPolicy::ParseRetryAfter(wstrRetryAfter, ulServerMs))
        ulWaitMs = ulServerMs;
    else if (!bResumeNow)
        ulWaitMs = TransferPolicy::BackoffMs(m_nRetries, m_ulSeed);
    m_ulSeed = m_ulSeed * 1103515245UL + 12345UL;
    const DWORD dwWaitMs = static_cast<DWORD>(static_cast<unsigned long long>(ulWaitMs) *
                                              m_limits.dwBackoffUnitMs / 1000);

    NetDebug::Print(L"retry %d of %d in %u ms after win error %u (%ls), http status %u", m_nRetries,
                    TransferPolicy::kMaxRetries, static_cast<unsigned>(dwWaitMs),
                    static_cast<unsigned>(dwError),
                    dwError ? TransferPolicy::ErrorName(dwError) : L"none",
                    static_cast<unsigned>(dwStatus));
    if (!WaitBeforeRetry(dwWaitMs, m_limits)) {
        m_bCancelled = true;
        return false;
    }
    m_dwAttemptTick = ::GetTickCount();
    return true;
}

bool RetrySchedule::FailOverProxy(DWORD dwWaitError, DWORD dwStatus, DWORD dwTransferError) {
    if (dwWaitError != 0 || dwStatus != 0 || IsStopRequested(m_limits))
        return false;
    if (dwTransferError != TransferPolicy::kErrCannotConnect &&
        dwTransferError != TransferPolicy::kErrNameNotResolved)
        return false;
    ProxySettings& proxy = ProxySettings::Instance();
    return proxy.UsingProxy() && proxy.FailOver();
}
