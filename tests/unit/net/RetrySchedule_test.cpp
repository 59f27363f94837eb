// When the next attempt of a transfer starts: at once after progress, but not
// in a busy loop when every attempt is cut soon after it began.
#include "RetrySchedule.h"
#include "TransferLimits.h"
#include "TransferPolicy.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

constexpr DWORD kReset = TransferPolicy::kErrConnectionError; // transient

// How long a call to Next took, in milliseconds.
DWORD TimedNext(RetrySchedule& schedule, bool bProgress) {
    const DWORD dwStart = ::GetTickCount();
    EXPECT_TRUE(schedule.Next(kReset, 0, std::wstring(), bProgress));
    return ::GetTickCount() - dwStart;
}

TEST(RetrySchedule, QuickCutsWithProgressResumeAtOnceOnlyAFewTimesInARow) {
    TransferLimits limits;
    limits.dwBackoffUnitMs = 200; // waits of about 200, 400 and 800 ms
    RetrySchedule schedule(limits);
    // Attempts cut at once, each a little further: three resume at once...
    DWORD dwQuick = 0;
    for (int i = 0; i < 3; ++i)
        dwQuick += TimedNext(schedule, true);
    // ...then each waits the backoff, although it made progress.
    const DWORD dwLater = TimedNext(schedule, true) + TimedNext(schedule, true);
    EXPECT_GE(dwLater, 300u);
    EXPECT_LT(dwQuick * 4, dwLater);
    // Without progress the backoff grows; the retries end after three.
    EXPECT_TRUE(schedule.Next(kReset, 0, std::wstring(), false));
    EXPECT_TRUE(schedule.Next(kReset, 0, std::wstring(), false));
    EXPECT_FALSE(schedule.Next(kReset, 0, std::wstring(), false));
}

} // namespace
