#include "NetRequest.h"

#include "NetDebug.h"
#include "PartialFile.h"
#include "RetrySchedule.h"
#include "TransferPolicy.h"
#include "TransferReport.h"

#include "CvComn_Handle.h"
#include "Util_String.h"

#include <algorithm>
#include <new>

namespace {

constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpFound = 302;
// Largest single write; a block is written in pieces of this size.
constexpr DWORD kWritePiece = 32 * 1024 * 1024;

void SetError(DWORD* pdwError, DWORD dwError) {
    if (pdwError)
        *pdwError = dwError;
}

// What one attempt of a submitted request came to.
struct Attempt {
    bool bOpened = false;
    DWORD dwError = 0;  // the wait's own error (bound, stop, failed call)
    DWORD dwStatus = 0; // the HTTP status; 0 when none arrived
    DWORD dwBodyError = 0;
};

Attempt SubmitOnce(TransferSession& session, const std::wstring& wstrUrl,
                   const std::string& strBody, bool bPost, const std::wstring& wstrHeaders) {
    Attempt attempt;
    attempt.dwError = session.Open(wstrUrl);
    if (attempt.dwError != 0)
        return attempt;
    attempt.bOpened = true;
    session.SetMaxBodyBytes(kMaxSubmittedBodyBytes);
    if (bPost) {
        session.SetHeaders(wstrHeaders);
        attempt.dwError = session.Post(strBody);
    } else {
        attempt.dwError = session.Get();
    }
    if (attempt.dwError != 0)
        return attempt;
    attempt.dwStatus = session.StatusCode();
    attempt.dwBodyError = session.BodyError();
    return attempt;
}

// Whether a failed attempt is worth another, by the same rules for every
// request: the wait's error, else the error that broke a delivered body off,
// else the error that ended a request before any status came, else the
// status itself.
DWORD RetryError(const Attempt& attempt, bool bDelivers) {
    if (attempt.dwError != 0)
        return attempt.dwError;
    if (attempt.dwStatus == 0 || bDelivers)
        return attempt.dwBodyError;
    return 0;
}

} // namespace

ResultCode SubmitRequest(const std::wstring& wstrUrl, const std::string& strBody,
                         std::string& strOut, bool bPost, DWORD* pdwStatus,
                         std::wstring wstrHeaders, const TransferLimits& limits) {
    try {
        RetrySchedule schedule(limits);
        for (;;) {
            TransferSession session(limits);
            const Attempt attempt = SubmitOnce(session, wstrUrl, strBody, bPost, wstrHeaders);
            if (!attempt.bOpened)
                return Result::FromPlatformError(attempt.dwError);
            const bool bDelivers = attempt.dwStatus == kHttpOk;
            const bool bDone =
                attempt.dwError == 0 && attempt.dwStatus != 0 &&
                (attempt.dwStatus == kHttpFound || !bDelivers || attempt.dwBodyError == 0);
            const bool bFinal = bDone && !TransferPolicy::IsTransient(0, attempt.dwStatus);
            if (!bFinal &&
                schedule.FailOverProxy(attempt.dwError, attempt.dwStatus, attempt.dwBodyError))
                continue;
            if (!bFinal && schedule.Next(RetryError(attempt, bDelivers), attempt.dwStatus,
                                         session.RetryAfter(), false))
                continue;
            if (schedule.Cancelled() && attempt.dwError != ERROR_CANCELLED) {
                NetDebug::Text(L"stopped while waiting to retry");
                return Result::kCancelled;
            }
            if (attempt.dwError != 0)
                return TransferReport::TransferError(attempt.dwError);
            if (pdwStatus)
                *pdwStatus = attempt.dwStatus;
            if (attempt.dwStatus == kHttpFound) {
                NetDebug::Text(L"http status is 302");
                std::wstring wstrLocation;
                session.Location(wstrLocation);
                DWORD dwConvert = 0;
                if (!Util::WideToMultiByte(wstrLocation, strOut, CP_UTF8, &dwConvert))
                    return Result::FromPlatformError(dwConvert);
                return Result::kSuccess;
            }
            if (!bDelivers)
                return TransferReport::UndeliveredStatus(attempt.dwStatus);
            NetDebug::Text(L"http status is 200");
            if (attempt.dwBodyError != 0)
                return TransferReport::IncompleteBody(session.Body().Size(),
                                                      session.ContentLength(), attempt.dwBodyError);
            std::string strBodyOut;
            if (!session.Body().CopyTo(strBodyOut))
                return Result::FromPlatformError(ERROR_NOT_ENOUGH_MEMORY);
            strOut.swap(strBodyOut);
            return Result::kSuccess;
        }
    } catch (const std::bad_alloc&) {
        return Result::FromPlatformError(ERROR_NOT_ENOUGH_MEMORY);
    }
}

bool WriteBody(HANDLE hFile, const ResponseBody& body, DWORD* pdwError) {
    for (size_t nBlock = 0; nBlock < body.BlockCount(); ++nBlock) {
        const std::string& strBlock = body.Block(nBlock);
        size_t nDone = 0;
        while (nDone < strBlock.size()) {
            const DWORD cbPiece =
                static_cast<DWORD>(std::min<size_t>(strBlock.size() - nDone, kWritePiece));
            DWORD cbWritten = 0;
            if (!::WriteFile(hFile, strBlock.data() + nDone, cbPiece, &cbWritten, nullptr)) {
                SetError(pdwError, ::GetLastError());
                return false;
            }
            if (cbWritten == 0) {
                SetError(pdwError, ERROR_WRITE_FAULT);
                return false;
            }
            nDone += cbWritten;
        }
    }
    return true;
}

ResultCode SaveToNewFile(const std::wstring& wstrFirstPath, const ResponseBody& body,
                         std::wstring& wstrPathOut, DWORD* pdwError) {
    CvCommon::Handle::UniqueHandle hFile;
    const ResultCode created = ClaimNewName(
        wstrFirstPath,
        [&hFile](const std::wstring& wstrPath) -> DWORD {
            hFile.reset(::CreateFileW(wstrPath.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
            return hFile ? 0 : ::GetLastError();
        },
        wstrPathOut, pdwError);
    if (created != Result::kSuccess)
        return created;
    NetDebug::Text(wstrPathOut);

    DWORD dwError = 0;
    bool bWritten = WriteBody(hFile.get(), body, &dwError);
    if (!::CloseHandle(hFile.release()) && bWritten) {
        dwError = ::GetLastError();
        bWritten = false;
    }
    if (!bWritten) {
        NetDebug::Print(L"writing %ls failed, win error %u", wstrPathOut.c_str(),
                        static_cast<unsigned>(dwError));
        ::DeleteFileW(wstrPathOut.c_str());
        SetError(pdwError, dwError);
        return Result::kCannotCreateFile;
    }
    return Result::kSuccess;
}
