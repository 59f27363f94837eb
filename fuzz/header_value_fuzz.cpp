// Response header values: Content-Disposition, Content-Range, Retry-After,
// and the announced Content-Length as the progress share reads it.

#include "FileNameRules.h"
#include "FuzzInput.h"
#include "NetParse.h"
#include "TransferPolicy.h"

namespace {

void CheckDisposition(const std::wstring& wstrValue) {
    std::wstring wstrName = L"untouched";
    if (!NetParse::DispositionFileName(wstrValue, wstrName)) {
        FUZZ_CHECK(wstrName == L"untouched");
        return;
    }
    // The name is a piece of the header, letter case kept.
    FUZZ_CHECK(wstrValue.find(wstrName) != std::wstring::npos);
    const std::wstring wstrFile = NetParse::DownloadFileName(wstrValue, L"http://h/", L"exe");
    FUZZ_CHECK(wstrFile.empty() || FileNameRules::IsPlainFileName(wstrFile));
}

void CheckContentRange(const std::wstring& wstrValue, uint64_t ullHave) {
    TransferPolicy::ContentRange range;
    range.ullFirst = 7;
    const bool bParsed = TransferPolicy::ParseContentRange(wstrValue, range);
    const TransferPolicy::ResumeAnswer answer =
        TransferPolicy::JudgeResume(206, wstrValue, ullHave);
    FUZZ_CHECK((answer == TransferPolicy::ResumeAnswer::Append) ==
               (bParsed && range.ullFirst == ullHave));
    FUZZ_CHECK(answer != TransferPolicy::ResumeAnswer::Restart);
    FUZZ_CHECK(TransferPolicy::JudgeResume(200, wstrValue, ullHave) ==
               TransferPolicy::ResumeAnswer::Restart);
    if (!bParsed) {
        FUZZ_CHECK(range.ullFirst == 7 && range.ullLast == 0 && !range.bTotalKnown);
        return;
    }
    FUZZ_CHECK(range.ullFirst <= range.ullLast);
    FUZZ_CHECK(!range.bTotalKnown || range.ullLast < range.ullTotal);
    FUZZ_CHECK(range.bTotalKnown || range.ullTotal == 0);
    // The canonical text of the range reads back the same.
    const std::wstring wstrCanonical =
        L"bytes " + std::to_wstring(range.ullFirst) + L"-" + std::to_wstring(range.ullLast) + L"/" +
        (range.bTotalKnown ? std::to_wstring(range.ullTotal) : std::wstring(L"*"));
    TransferPolicy::ContentRange again;
    FUZZ_CHECK(TransferPolicy::ParseContentRange(wstrCanonical, again));
    FUZZ_CHECK(again.ullFirst == range.ullFirst && again.ullLast == range.ullLast &&
               again.ullTotal == range.ullTotal && again.bTotalKnown == range.bTotalKnown);
}

void CheckRetryAfter(const std::wstring& wstrValue) {
    unsigned long ulWaitMs = 12345;
    if (!TransferPolicy::ParseRetryAfter(wstrValue, ulWaitMs)) {
        FUZZ_CHECK(ulWaitMs == 12345);
        return;
    }
    FUZZ_CHECK(ulWaitMs <= TransferPolicy::kMaxRetryAfterMs);
    FUZZ_CHECK(ulWaitMs % 1000 == 0);
    FUZZ_CHECK(wstrValue.find_first_of(L"0123456789") != std::wstring::npos);
}

void CheckProgress(uint64_t ullReceived, uint32_t dwLength) {
    const uint32_t dwPercent = NetParse::ProgressPercent(ullReceived, dwLength);
    FUZZ_CHECK(dwPercent <= 100);
    if (dwLength == 0)
        FUZZ_CHECK(dwPercent == 0);
    else if (ullReceived >= dwLength)
        FUZZ_CHECK(dwPercent == 100);
    else
        FUZZ_CHECK(dwPercent < 100 && dwPercent == ullReceived * 100 / dwLength);
    // More bytes never mean less progress.
    if (ullReceived < UINT64_MAX)
        FUZZ_CHECK(NetParse::ProgressPercent(ullReceived + 1, dwLength) >= dwPercent);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint64_t ullReceived = FuzzInput::TakeNumber(data, size, 8);
    const uint32_t dwLength = static_cast<uint32_t>(FuzzInput::TakeNumber(data, size, 4));
    CheckProgress(ullReceived, dwLength);

    const std::wstring wstrValue = FuzzInput::Wide(data, size);
    CheckDisposition(wstrValue);
    CheckContentRange(wstrValue, ullReceived % 4096);
    CheckContentRange(wstrValue, ullReceived);
    CheckRetryAfter(wstrValue);
    return 0;
}
