#include "TransferPolicy.h"

#include <cwctype>

namespace TransferPolicy {

namespace {

// Reads a run of decimal digits at wstr[nPos]; false without a digit or on
// overflow.
bool ReadNumber(const std::wstring& wstr, size_t& nPos, uint64_t& ullValue) {
    const size_t nStart = nPos;
    ullValue = 0;
    while (nPos < wstr.size() && wstr[nPos] >= L'0' && wstr[nPos] <= L'9') {
        const uint64_t ullDigit = static_cast<uint64_t>(wstr[nPos] - L'0');
        if (ullValue > (UINT64_MAX - ullDigit) / 10) {
            return false;
        }
        ullValue = ullValue * 10 + ullDigit;
        ++nPos;
    }
    return nPos > nStart;
}

void SkipBlanks(const std::wstring& wstr, size_t& nPos) {
    while (nPos < wstr.size() && (wstr[nPos] == L' ' || wstr[nPos] == L'\t')) {
        ++nPos;
    }
}

} // namespace

const wchar_t* ErrorName(unsigned long ulError) {
    switch (ulError) {
    case kErrTimeout:
        return L"ERROR_WINHTTP_TIMEOUT";
    case 12004:
        return L"ERROR_WINHTTP_INTERNAL_ERROR";
    case kErrInvalidUrl:
        return L"ERROR_WINHTTP_INVALID_URL";
    case kErrUnrecognizedScheme:
        return L"ERROR_WINHTTP_UNRECOGNIZED_SCHEME";
    case kErrNameNotResolved:
        return L"ERROR_WINHTTP_NAME_NOT_RESOLVED";
    case 12017:
        return L"ERROR_WINHTTP_OPERATION_CANCELLED";
    case kErrCannotConnect:
        return L"ERROR_WINHTTP_CANNOT_CONNECT";
    case kErrConnectionError:
        return L"ERROR_WINHTTP_CONNECTION_ERROR";
    case kErrInvalidServerResponse:
        return L"ERROR_WINHTTP_INVALID_SERVER_RESPONSE";
    case kErrSocketAborted:
        return L"WSAECONNABORTED";
    case kErrSocketReset:
        return L"WSAECONNRESET";
    case kErrSocketTimedOut:
        return L"WSAETIMEDOUT";
    case kErrSocketRefused:
        return L"WSAECONNREFUSED";
    case kErrTlsIncompleteMessage:
        return L"SEC_E_INCOMPLETE_MESSAGE";
    case kErrSecureFailure:
        return L"ERROR_WINHTTP_SECURE_FAILURE";
    default:
        return L"unknown error";
    }
}

bool IsTransient(unsigned long ulError, unsigned long ulStatus) {
    if (ulError != 0) {
        return ulError == kErrTimeout || ulError == kErrNameNotResolved ||
               ulError == kErrCannotConnect || ulError == kErrConnectionError ||
               ulError == kErrInvalidServerResponse || ulError == kErrSocketAborted ||
               ulError == kErrSocketReset || ulError == kErrSocketTimedOut ||
               ulError == kErrSocketRefused || ulError == kErrTlsIncompleteMessage;
    }
    return ulStatus == 408 || ulStatus == 429 || (ulStatus >= 500 && ulStatus <= 599);
}

unsigned long BackoffMs(int nRetry, unsigned long ulJitterSeed) {
    if (nRetry < 1) {
        nRetry = 1;
    }
    if (nRetry > kMaxRetries) {
        nRetry = kMaxRetries;
    }
    const unsigned long ulBase = 1000UL << (nRetry - 1);
    return ulBase + ulJitterSeed % (ulBase / 4 + 1);
}

bool ParseRetryAfter(const std::wstring& wstrValue, unsigned long& ulWaitMs) {
    size_t nPos = 0;
    SkipBlanks(wstrValue, nPos);
    uint64_t ullSeconds = 0;
    if (!ReadNumber(wstrValue, nPos, ullSeconds)) {
        return false;
    }
    SkipBlanks(wstrValue, nPos);
    if (nPos != wstrValue.size()) {
        return false;
    }
    ulWaitMs = ullSeconds >= kMaxRetryAfterMs / 1000
                   ? kMaxRetryAfterMs
                   : static_cast<unsigned long>(ullSeconds * 1000);
    return true;
}

bool ParseContentRange(const std::wstring& wstrValue, ContentRange& range) {
    size_t nPos = 0;
    SkipBlanks(wstrValue, nPos);
    static const wchar_t kUnit[] = L"bytes";
    for (const wchar_t* p = kUnit; *p; ++p, ++nPos) {
        if (nPos >= wstrValue.size() ||
            static_cast<wchar_t>(std::towlower(wstrValue[nPos])) != *p) {
            return false;
        }
    }
    if (nPos >= wstrValue.size() || wstrValue[nPos] != L' ') {
        return false;
    }
    SkipBlanks(wstrValue, nPos);
    ContentRange parsed;
    if (!ReadNumber(wstrValue, nPos, parsed.ullFirst) || nPos >= wstrValue.size() ||
        wstrValue[nPos++] != L'-' || !ReadNumber(wstrValue, nPos, parsed.ullLast) ||
        nPos >= wstrValue.size() || wstrValue[nPos++] != L'/') {
        return false;
    }
    if (nPos < wstrValue.size() && wstrValue[nPos] == L'*') {
        ++nPos;
    } else if (ReadNumber(wstrValue, nPos, parsed.ullTotal)) {
        parsed.bTotalKnown = true;
    } else {
        return false;
    }
    SkipBlanks(wstrValue, nPos);
    if (nPos != wstrValue.size() || parsed.ullLast < parsed.ullFirst ||
        (parsed.bTotalKnown && parsed.ullLast >= parsed.ullTotal)) {
        return false;
    }
    range = parsed;
    return true;
}

std::wstring RangeHeader(uint64_t ullOffset) {
    return L"bytes=" + std::to_wstring(ullOffset) + L"-";
}

ResumeAnswer JudgeResume(unsigned long ulStatus, const std::wstring& wstrContentRange,
                         uint64_t ullHave) {
    if (ulStatus == 200) {
        return ResumeAnswer::Restart;
    }
    ContentRange range;
    if (ulStatus == 206 && ParseContentRange(wstrContentRange, range) &&
        range.ullFirst == ullHave) {
        return ResumeAnswer::Append;
    }
    return ResumeAnswer::Fail;
}

} // namespace TransferPolicy
