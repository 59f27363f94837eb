#include "TransferLimits.h"

#include "NetDebug.h"
#include "NetParse.h"

#include <winhttp.h>

#include <algorithm>

namespace {

// How often a stop request without an event of its own is looked at.
constexpr DWORD kStopPollMs = 50;

#if defined(LAUNCHER_TEST_HOOKS)
// Test builds only: lets end-to-end tests reach the end of the overall bound
// without waiting five minutes.
bool ReadTestMilliseconds(const wchar_t* pszName, uint32_t dwMax, uint32_t& dwMs) {
    wchar_t szValue[16] = {};
    const DWORD cch = ::GetEnvironmentVariableW(pszName, szValue, 16);
    if (cch == 0 || cch >= 16)
        return false;
    return NetParse::ParseMilliseconds(szValue, dwMax, dwMs);
}

void ApplyTestOverride(TransferLimits& limits) {
    uint32_t dwMs = 0;
    if (ReadTestMilliseconds(L"LAUNCHER_TEST_WAIT_MS", TransferLimits::kDefaultWaitMs, dwMs)) {
        limits.dwWaitMs = dwMs;
        NetDebug::Print(L"test hook: transfer bound %u ms", static_cast<unsigned>(dwMs));
    }
    if (ReadTestMilliseconds(L"LAUNCHER_TEST_BACKOFF_UNIT_MS", 1000, dwMs))
        limits.dwBackoffUnitMs = dwMs;
    if (ReadTestMilliseconds(L"LAUNCHER_TEST_STACK_TIMEOUT_MS",
                             TransferLimits::kDefaultStackTimeoutMs, dwMs))
        limits.dwStackTimeoutMs = dwMs;
}
#endif

} // namespace

TransferLimits DefaultTransferLimits() {
    TransferLimits limits;
#if defined(LAUNCHER_TEST_HOOKS)
    ApplyTestOverride(limits);
#endif
    return limits;
}

bool IsStopRequested(const TransferLimits& limits) noexcept {
    return limits.pCancel != nullptr && limits.pCancel->IsSet();
}

DWORD WaitForTransfer(HANDLE hDone, const TransferLimits& limits) noexcept {
    const HANDLE hStop = limits.pCancel ? limits.pCancel->Event() : nullptr;
    const HANDLE handles[2] = {hDone, hStop};
    const DWORD dwCount = hStop ? 2 : 1;
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        if (IsStopRequested(limits))
            return ERROR_CANCELLED;
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (dwElapsed >= limits.dwWaitMs)
            return ERROR_WINHTTP_CANNOT_CONNECT;
        DWORD dwSlice = limits.dwWaitMs - dwElapsed;
        if (limits.pCancel && !hStop)
            dwSlice = std::min(dwSlice, kStopPollMs);
        const DWORD dwWait = ::WaitForMultipleObjects(dwCount, handles, FALSE, dwSlice);
        if (dwWait == WAIT_OBJECT_0)
            return IsStopRequested(limits) ? ERROR_CANCELLED : 0;
        if (dwWait == WAIT_OBJECT_0 + 1)
            return ERROR_CANCELLED;
        if (dwWait != WAIT_TIMEOUT)
            return ERROR_WINHTTP_CANNOT_CONNECT;
    }
}

bool WaitBeforeRetry(DWORD dwMs, const TransferLimits& limits) noexcept {
    if (IsStopRequested(limits))
        return false;
    if (!limits.pCancel) {
        ::Sleep(dwMs);
        return true;
    }
    return !limits.pCancel->WaitFor(dwMs) && !IsStopRequested(limits);
}
