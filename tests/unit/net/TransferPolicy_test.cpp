#include "TransferPolicy.h"

#include <gtest/gtest.h>

namespace {

using namespace TransferPolicy;

TEST(TransferPolicy, TellsTransientFromFinalFailures) {
    struct Case {
        unsigned long ulError;
        unsigned long ulStatus;
        bool bTransient;
    };
    const Case cases[] = {
        {kErrTimeout, 0, true},
        {kErrNameNotResolved, 0, true},
        {kErrCannotConnect, 0, true},
        {kErrConnectionError, 0, true},
        {kErrSocketReset, 0, true},
        {kErrSocketTimedOut, 0, true},
        {kErrTlsIncompleteMessage, 0, true},
        {10013, 0, false}, // WSAEACCES: not a network that failed
        {kErrSecureFailure, 0, false},
        {kErrInvalidUrl, 0, false},
        {kErrUnrecognizedScheme, 0, false},
        {0, 500, true},
        {0, 503, true},
        {0, 599, true},
        {0, 408, true},
        {0, 429, true},
        {0, 404, false},
        {0, 403, false},
        {0, 600, false},
        {0, 200, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsTransient(c.ulError, c.ulStatus), c.bTransient)
            << c.ulError << " " << c.ulStatus;
    }
}

TEST(TransferPolicy, BacksOffOneTwoFourSecondsWithBoundedJitter) {
    const unsigned long base[] = {1000, 2000, 4000};
    for (int n = 1; n <= kMaxRetries; ++n) {
        const unsigned long ulBase = base[n - 1];
        EXPECT_EQ(BackoffMs(n, 0), ulBase);
        for (unsigned long seed : {1UL, 999UL, 123456789UL, 0xFFFFFFFFUL}) {
            const unsigned long ulWait = BackoffMs(n, seed);
            EXPECT_GE(ulWait, ulBase);
            EXPECT_LE(ulWait, ulBase + ulBase / 4);
        }
    }
}

TEST(TransferPolicy, ReadsRetryAfterSeconds) {
    struct Case {
        const wchar_t* pszValue;
        bool bOk;
        unsigned long ulMs;
    };
    const Case cases[] = {
        {L"2", true, 2000},
        {L" 0 ", true, 0},
        {L"30", true, 30000},
        {L"31", true, 30000},
        {L"99999999999999999999999", false, 0},
        {L"-1", false, 0},
        {L"", false, 0},
        {L"2s", false, 0},
        {L"Wed, 21 Oct 2015 07:28:00 GMT", false, 0},
    };
    for (const Case& c : cases) {
        unsigned long ulMs = 7;
        EXPECT_EQ(ParseRetryAfter(c.pszValue, ulMs), c.bOk) << c.pszValue;
        if (c.bOk) {
            EXPECT_EQ(ulMs, c.ulMs) << c.pszValue;
        }
    }
}

TEST(TransferPolicy, JudgesResumedAnswers) {
    struct Case {
        unsigned long ulStatus;
        const wchar_t* pszRange;
        uint64_t ullHave;
        ResumeAnswer answer;
    };
    const Case cases[] = {
        {206, L"bytes 4194304-33554431/33554432", 4194304, ResumeAnswer::Append},
        {206, L"bytes 10-19/*", 10, ResumeAnswer::Append},
        {206, L"BYTES 10-19/20", 10, ResumeAnswer::Append},
        {206, L"bytes 0-19/20", 10, ResumeAnswer::Fail},
        {206, L"bytes 10-19/19", 10, ResumeAnswer::Fail},
        {206, L"bytes 19-10/20", 19, ResumeAnswer::Fail},
        {206, L"bytes */20", 10, ResumeAnswer::Fail},
        {206, L"bytes 10-19/20x", 10, ResumeAnswer::Fail},
        {206, L"bytes=10-19/20", 10, ResumeAnswer::Fail},
        {206, L"", 10, ResumeAnswer::Fail},
        {206, L"bytes 99999999999999999999-1/2", 0, ResumeAnswer::Fail},
        {200, L"", 10, ResumeAnswer::Restart},
        {416, L"bytes */20", 20, ResumeAnswer::Fail},
        {503, L"", 10, ResumeAnswer::Fail},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JudgeResume(c.ulStatus, c.pszRange, c.ullHave), c.answer)
            << c.ulStatus << " " << c.pszRange;
    }
    EXPECT_EQ(RangeHeader(4194304), L"bytes=4194304-");
}

} // namespace
