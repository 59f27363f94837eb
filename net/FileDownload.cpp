// DownloadFile: a GET whose body is written to disk as it arrives, resumed
// after a cut and retried after a transient failure, and given its package
// name only once it is complete.

#include "NetRequest.h"

#include "NetDebug.h"
#include "NetParse.h"
#include "PartialFile.h"
#include "RetrySchedule.h"
#include "TransferPolicy.h"
#include "TransferReport.h"

#include <algorithm>
#include <new>

namespace {

constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpPartial = 206;
// Longest validator echoed back in If-Range.
constexpr size_t kMaxValidatorChars = 512;

bool UsableValidator(const std::wstring& wstrValue) {
    return !wstrValue.empty() && wstrValue.size() <= kMaxValidatorChars &&
           wstrValue.find_first_of(L"\r\n") == std::wstring::npos;
}

// The request headers that ask for the rest of what the partial file holds,
// tied to the version it came from; empty when the bytes held cannot be
// resumed (nothing held, or no strong validator to tie them to).
std::wstring ResumeHeaders(const PartialFile& partial, const ResponseValidators& first) {
    if (partial.Held() == 0)
        return std::wstring();
    std::wstring wstrValidator;
    // A weak ETag may not be used in If-Range.
    if (UsableValidator(first.wstrETag) && first.wstrETag.compare(0, 2, L"W/") != 0)
        wstrValidator = first.wstrETag;
    else if (UsableValidator(first.wstrLastModified))
        wstrValidator = first.wstrLastModified;
    if (wstrValidator.empty())
        return std::wstring();
    return L"Range: " + TransferPolicy::RangeHeader(partial.Held()) + L"\r\nIf-Range: " +
           wstrValidator;
}

} // namespace

ResultCode DownloadFile(const std::wstring& wstrUrl, std::wstring& wstrPath,
                        ProgressCallback progress, const std::wstring& wstrDefaultType,
                        const TransferLimits& limits) {
    try {
        PartialFile partial;
        RetrySchedule schedule(limits);
        ResponseValidators first;
        std::wstring wstrDisposition;
        // The most the file has held: only an attempt that gets past it makes
        // progress (a server that cuts every answer at the same place and
        // ignores ranges does not keep the download going).
        unsigned long long ullFurthest = 0;
        for (;;) {
            TransferSession session(limits);
            DWORD dwError = session.Open(wstrUrl);
            if (dwError != 0)
                return Result::FromPlatformError(dwError);
            if (partial.Path().empty()) {
                // The folder is known to exist only once the URL is usable.
                if (partial.Create(wstrPath) != 0)
                    return Result::kCannotCreateFile;
            }
            const std::wstring wstrResume = ResumeHeaders(partial, first);
            if (wstrResume.empty() && partial.Held() > 0 && partial.Restart() != 0)
                return Result::kCannotCreateFile;
            session.SetHeaders(wstrResume);
            session.SetBodySink(&partial);
            session.SetProgressCallback(progress);

            dwError = session.Get();
            const DWORD dwStatus = dwError == 0 ? session.StatusCode() : 0;
            const bool bBody = dwStatus == kHttpOk || dwStatus == kHttpPartial;
            // A body is read only for 200 and 206; without a status the error
            // that ended the request stands in its place.
            const DWORD dwBodyError =
                dwError == 0 && (bBody || dwStatus == 0) ? session.BodyError() : 0;
            if (dwStatus == kHttpOk ||
                (bBody && first.wstrETag.empty() && first.wstrLastModified.empty())) {
                first = session.Validators();
                wstrDisposition = session.ContentDisposition();
            }
            if (bBody && dwBodyError == 0) {
                NetDebug::Text(dwStatus == kHttpOk ? L"http status is 200" : L"http status is 206");
                break;
            }
            if (partial.RangeRefused())
                partial.Restart();
            if (partial.WriteError() != 0) {
                NetDebug::Print(L"writing %ls failed, win error %u", partial.Path().c_str(),
                                static_cast<unsigned>(partial.WriteError()));
                return Result::kCannotCreateFile;
            }

            const bool bProgress = partial.Held() > ullFurthest;
            ullFurthest = std::max(ullFurthest, partial.Held());
            const DWORD dwRetryError = dwError != 0 ? dwError : dwBodyError;
            if (schedule.FailOverProxy(dwError, dwStatus, dwBodyError))
                continue;
            if (schedule.Next(dwRetryError, dwStatus, session.RetryAfter(), bProgress))
                continue;
            if (schedule.Cancelled() && dwError != ERROR_CANCELLED) {
                NetDebug::Text(L"stopped while waiting to retry");
                return Result::kCancelled;
            }
            if (dwError != 0)
                return TransferReport::TransferError(dwError);
            if (bBody) {
                NetDebug::Text(dwStatus == kHttpOk ? L"http status is 200" : L"http status is 206");
                return TransferReport::IncompleteBody(session.SinkBytes(), session.ContentLength(),
                                                      dwBodyError);
            }
            return TransferReport::UndeliveredStatus(dwStatus);
        }

        NetDebug::Text(wstrDisposition);
        NetDebug::Text(wstrUrl);
        NetDebug::Text(wstrPath);
        const std::wstring wstrName =
            NetParse::DownloadFileName(wstrDisposition, wstrUrl, wstrDefaultType);
        if (wstrName.empty()) {
            NetDebug::Text(L"no usable file name for the download");
            return Result::kNoFileName;
        }
        // The run may have been stopped while the last bytes arrived.
        if (IsStopRequested(limits))
            return Result::kCancelled;
        std::wstring wstrSaved;
        const ResultCode saved = partial.Commit(wstrPath + L"\\" + wstrName, wstrSaved);
        if (saved == Result::kSuccess)
            wstrPath.swap(wstrSaved);
        return saved;
    } catch (const std::bad_alloc&) {
        return Result::FromPlatformError(ERROR_NOT_ENOUGH_MEMORY);
    }
}
