#include "NetRequest.h"

#include "NetDebug.h"
#include "NetParse.h"
#include "TransferPolicy.h"

#include "CvComn_Handle.h"
#include "Util_String.h"

#include <algorithm>
#include <climits>
#include <new>

namespace {

constexpr DWORD kHttpOk = 200;
constexpr DWORD kHttpAccepted = 202;
constexpr DWORD kHttpFound = 302;
constexpr size_t kStatusMessageBuffer = 128;
// Largest single write; a block is written in pieces of this size.
constexpr DWORD kWritePiece = 32 * 1024 * 1024;

void SetError(DWORD* pdwError, DWORD dwError) {
    if (pdwError)
        *pdwError = dwError;
}

void ReportOtherStatus(DWORD dwStatus) {
    NetDebug::Text(NetDebug::FormatBounded(kStatusMessageBuffer,
                                           L"submit request failed, http status code %d",
                                           static_cast<int>(dwStatus)));
}

void ReportAccepted() {
    NetDebug::Text(L"The request is accepted, but not process yet");
}

void ReportCannotConnect() {
    NetDebug::Text(L"Can't connect to server, win error is ERROR_WINHTTP_CANNOT_CONNECT");
}

// Names the platform error a transfer ended with, so that a failure shows its
// cause and not only the missing status.
DWORD ReportTransferError(DWORD dwError) {
    NetDebug::Print(L"transfer failed, win error %u (%ls)", static_cast<unsigned>(dwError),
                    TransferPolicy::ErrorName(dwError));
    return dwError;
}

// A body that did not arrive whole is not delivered.
ResultCode CheckBody(const TransferSession& session) {
    const DWORD dwError = session.BodyError();
    if (dwError == 0)
        return Result::kSuccess;
    NetDebug::Print(L"response body incomplete (%u of %u bytes), win error %u",
                    static_cast<unsigned>(session.Body().Size()),
                    static_cast<unsigned>(session.ContentLength()), static_cast<unsigned>(dwError));
    return Result::FromPlatformError(dwError);
}

} // namespace

ResultCode SubmitRequest(const std::wstring& wstrUrl, const std::string& strBody,
                         std::string& strOut, bool bPost, DWORD* pdwStatus,
                         std::wstring wstrHeaders, const TransferLimits& limits) {
    try {
        TransferSession session(limits);
        DWORD dwError = session.Open(wstrUrl);
        if (dwError != 0)
            return Result::FromPlatformError(dwError);
        if (bPost) {
            session.SetHeaders(wstrHeaders);
            dwError = session.Post(strBody);
        } else {
            dwError = session.Get();
        }
        if (dwError != 0)
            return Result::FromPlatformError(ReportTransferError(dwError));

        const DWORD dwStatus = session.StatusCode();
        if (pdwStatus)
            *pdwStatus = dwStatus;
        switch (dwStatus) {
        case kHttpFound: {
            NetDebug::Text(L"http status is 302");
            std::wstring wstrLocation;
            session.Location(wstrLocation);
            DWORD dwConvert = 0;
            if (!Util::WideToMultiByte(wstrLocation, strOut, CP_UTF8, &dwConvert))
                return Result::FromPlatformError(dwConvert);
            return Result::kSuccess;
        }
        case kHttpOk: {
            NetDebug::Text(L"http status is 200");
            const ResultCode body = CheckBody(session);
            if (Result::Failed(body))
                return body;
            std::string strBodyOut;
            if (!session.Body().CopyTo(strBodyOut))
                return Result::FromPlatformError(ERROR_NOT_ENOUGH_MEMORY);
            strOut.swap(strBodyOut);
            return Result::kSuccess;
        }
        case kHttpAccepted:
            ReportAccepted();
            return Result::kAccepted;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            ReportCannotConnect();
            return Result::kTimedOut;
        default:
            ReportOtherStatus(dwStatus);
            return Result::kUnexpectedStatus;
        }
    } catch (const std::bad_alloc&) {
        return Result::FromPlatformError(ERROR_NOT_ENOUGH_MEMORY);
    }
}

ResultCode DownloadFile(const std::wstring& wstrUrl, std::wstring& wstrPath,
                        ProgressCallback progress, const std::wstring& wstrDefaultType,
                        const TransferLimits& limits) {
    try {
        TransferSession session(limits);
        DWORD dwError = session.Open(wstrUrl);
        if (dwError != 0)
            return Result::FromPlatformError(dwError);
        session.SetProgressCallback(progress);
        dwError = session.Get();
        if (dwError != 0)
            return Result::FromPlatformError(ReportTransferError(dwError));

        const DWORD dwStatus = session.StatusCode();
        switch (dwStatus) {
        case kHttpOk: {
            NetDebug::Text(L"http status is 200");
            const ResultCode body = CheckBody(session);
            if (Result::Failed(body))
                return body;
            const std::wstring wstrFirst = session.MakeFileName(wstrUrl, wstrPath, wstrDefaultType);
            if (wstrFirst.empty()) {
                NetDebug::Text(L"no usable file name for the download");
                return Result::kNoFileName;
            }
            // The run may have been stopped while the last bytes arrived.
            if (IsStopRequested(limits))
                return Result::kCancelled;
            std::wstring wstrSaved;
            const ResultCode saved = SaveToNewFile(wstrFirst, session.Body(), wstrSaved);
            if (saved == Result::kSuccess)
                wstrPath.swap(wstrSaved);
            return saved;
        }
        case kHttpAccepted:
            ReportAccepted();
            return Result::kAccepted;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            ReportCannotConnect();
            return Result::kTimedOut;
        default:
            ReportOtherStatus(dwStatus);
            return Result::kUnexpectedStatus;
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
    const size_t nSeparator = wstrFirstPath.rfind(L'\\');
    const std::wstring wstrDirectory =
        nSeparator == std::wstring::npos ? std::wstring() : wstrFirstPath.substr(0, nSeparator);
    const std::wstring wstrName =
        nSeparator == std::wstring::npos ? wstrFirstPath : wstrFirstPath.substr(nSeparator + 1);

    CvCommon::Handle::UniqueHandle hFile;
    std::wstring wstrPath = wstrFirstPath;
    for (unsigned long ulCounter = 1;; ++ulCounter) {
        wstrPathOut = wstrPath;
        // CREATE_NEW fails when anything of that name exists, so a file is
        // never overwritten, even one that appears between two attempts.
        hFile.reset(::CreateFileW(wstrPath.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (hFile)
            break;
        const DWORD dwError = ::GetLastError();
        const bool bTaken = dwError == ERROR_FILE_EXISTS || dwError == ERROR_ALREADY_EXISTS ||
                            (dwError == ERROR_ACCESS_DENIED &&
                             ::GetFileAttributesW(wstrPath.c_str()) != INVALID_FILE_ATTRIBUTES);
        if (!bTaken) {
            NetDebug::Print(L"cannot create %ls, win error %u", wstrPath.c_str(),
                            static_cast<unsigned>(dwError));
            SetError(pdwError, dwError);
            return Result::kCannotCreateFile;
        }
        std::wstring wstrNumbered;
        if (ulCounter == ULONG_MAX ||
            !NetParse::NumberedFileName(wstrName, ulCounter, wstrNumbered)) {
            NetDebug::Print(L"no free file name for %ls", wstrFirstPath.c_str());
            SetError(pdwError, ERROR_FILENAME_EXCED_RANGE);
            return Result::kCannotCreateFile;
        }
        wstrPath = wstrDirectory + L"\\" + wstrNumbered;
    }
    NetDebug::Text(wstrPath);

    DWORD dwError = 0;
    bool bWritten = WriteBody(hFile.get(), body, &dwError);
    if (!::CloseHandle(hFile.release()) && bWritten) {
        dwError = ::GetLastError();
        bWritten = false;
    }
    if (!bWritten) {
        NetDebug::Print(L"writing %ls failed, win error %u", wstrPath.c_str(),
                        static_cast<unsigned>(dwError));
        ::DeleteFileW(wstrPath.c_str());
        SetError(pdwError, dwError);
        return Result::kCannotCreateFile;
    }
    return Result::kSuccess;
}
