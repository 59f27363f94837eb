#pragma once
// Retry and resume rules of the transfer code, free of platform calls: which
// failures are worth another attempt, the wait before it, and the texts of
// Retry-After and Content-Range.

#include <cstdint>
#include <string>

namespace TransferPolicy {

// At most this many further attempts follow a request's first one.
constexpr int kMaxRetries = 3;
// A server's Retry-After is honoured up to this wait.
constexpr unsigned long kMaxRetryAfterMs = 30000;
// Overall budget of one download, all attempts and waits together, while the
// transfer makes no progress.
constexpr unsigned long kOverallBudgetMs = 60UL * 60UL * 1000UL;

// Platform error numbers the rules know (WinHTTP's values).
constexpr unsigned long kErrTimeout = 12002;
constexpr unsigned long kErrNameNotResolved = 12007;
constexpr unsigned long kErrConnectionError = 12030;
constexpr unsigned long kErrCannotConnect = 12029;
constexpr unsigned long kErrSecureFailure = 12175;
constexpr unsigned long kErrInvalidUrl = 12005;
constexpr unsigned long kErrUnrecognizedScheme = 12006;
constexpr unsigned long kErrInvalidServerResponse = 12152;
// Socket errors some WinHTTPs pass on for a reset, an abort, a time-out or a
// refusal (Wine's does, where Windows reports 12030, 12002 or 12029).
constexpr unsigned long kErrSocketAborted = 10053;
constexpr unsigned long kErrSocketReset = 10054;
constexpr unsigned long kErrSocketTimedOut = 10060;
constexpr unsigned long kErrSocketRefused = 10061;
// The TLS layer's word for a connection cut inside a record
// (SEC_E_INCOMPLETE_MESSAGE), which some WinHTTPs pass on.
constexpr unsigned long kErrTlsIncompleteMessage = 0x80090318UL;

// The error's name ("ERROR_WINHTTP_TIMEOUT") or "unknown error".
const wchar_t* ErrorName(unsigned long ulError);

// True when a failed attempt with this platform error (0 when the exchange
// completed) and HTTP status (0 when none arrived) may be tried again:
// time-outs, name resolution, refused or reset connections, 408, 429 and 5xx.
// Certificate errors, bad URLs and other statuses are final.
bool IsTransient(unsigned long ulError, unsigned long ulStatus);

// Wait before retry number nRetry (1-based): 1, 2, 4 s, plus a jitter of up to
// a quarter of that, taken from ulJitterSeed modulo the quarter.
unsigned long BackoffMs(int nRetry, unsigned long ulJitterSeed);

// Reads a Retry-After value given in seconds (the HTTP-date form gives
// false), capped at kMaxRetryAfterMs.
bool ParseRetryAfter(const std::wstring& wstrValue, unsigned long& ulWaitMs);

struct ContentRange {
    uint64_t ullFirst = 0;
    uint64_t ullLast = 0;
    // 0 when the server gave "*".
    uint64_t ullTotal = 0;
    bool bTotalKnown = false;
};

// Reads "bytes first-last/total" (total may be "*"); false for anything else,
// a last before the first, or a last at or beyond a known total.
bool ParseContentRange(const std::wstring& wstrValue, ContentRange& range);

// The Range value asking for everything from ullOffset on.
std::wstring RangeHeader(uint64_t ullOffset);

enum class ResumeAnswer { Append, Restart, Fail };

// What a resumed request's answer means for the bytes already on disk
// (ullHave of them): 206 with a Content-Range starting exactly there appends,
// 200 starts again from zero, anything else fails the attempt.
ResumeAnswer JudgeResume(unsigned long ulStatus, const std::wstring& wstrContentRange,
                         uint64_t ullHave);

} // namespace TransferPolicy
