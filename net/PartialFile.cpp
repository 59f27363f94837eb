#include "PartialFile.h"

#include "NetDebug.h"
#include "NetParse.h"
#include "TransferPolicy.h"

#include <algorithm>
#include <climits>
#include <cstdio>

namespace {

// How many made-up names are tried before the folder counts as unusable.
constexpr int kNameAttempts = 16;
// Largest single write; a piece is written in parts of this size.
constexpr DWORD kWritePiece = 32 * 1024 * 1024;

bool SplitFolder(const std::wstring& wstrPath, std::wstring& wstrFolder, std::wstring& wstrName) {
    const size_t nSeparator = wstrPath.rfind(L'\\');
    wstrFolder = nSeparator == std::wstring::npos ? std::wstring() : wstrPath.substr(0, nSeparator);
    wstrName = nSeparator == std::wstring::npos ? wstrPath : wstrPath.substr(nSeparator + 1);
    return !wstrName.empty();
}

} // namespace

ResultCode ClaimNewName(const std::wstring& wstrFirstPath,
                        const std::function<DWORD(const std::wstring&)>& tryName,
                        std::wstring& wstrPathOut, DWORD* pdwError) {
    std::wstring wstrFolder;
    std::wstring wstrName;
    SplitFolder(wstrFirstPath, wstrFolder, wstrName);
    std::wstring wstrPath = wstrFirstPath;
    for (unsigned long ulCounter = 1;; ++ulCounter) {
        wstrPathOut = wstrPath;
        const DWORD dwError = tryName(wstrPath);
        if (pdwError)
            *pdwError = dwError;
        if (dwError == 0)
            return Result::kSuccess;
        // CREATE_NEW and a rename without replace fail when anything of that
        // name exists, so a file is never overwritten, even one that appears
        // between two attempts.
        const bool bTaken = dwError == ERROR_FILE_EXISTS || dwError == ERROR_ALREADY_EXISTS ||
                            (dwError == ERROR_ACCESS_DENIED &&
                             ::GetFileAttributesW(wstrPath.c_str()) != INVALID_FILE_ATTRIBUTES);
        if (!bTaken) {
            NetDebug::Print(L"cannot create %ls, win error %u", wstrPath.c_str(),
                            static_cast<unsigned>(dwError));
            return Result::kCannotCreateFile;
        }
        std::wstring wstrNumbered;
        if (ulCounter == ULONG_MAX ||
            !NetParse::NumberedFileName(wstrName, ulCounter, wstrNumbered)) {
            NetDebug::Print(L"no free file name for %ls", wstrFirstPath.c_str());
            if (pdwError)
                *pdwError = ERROR_FILENAME_EXCED_RANGE;
            return Result::kCannotCreateFile;
        }
        wstrPath = wstrFolder + L"\\" + wstrNumbered;
    }
}

PartialFile::~PartialFile() {
    if (m_wstrPath.empty())
        return;
    m_hFile.reset();
    ::DeleteFileW(m_wstrPath.c_str());
}

DWORD PartialFile::Create(const std::wstring& wstrDirectory) {
    DWORD dwError = ERROR_FILE_EXISTS;
    DWORD dwTag = ::GetTickCount() ^ (::GetCurrentProcessId() << 12);
    for (int nAttempt = 0; nAttempt < kNameAttempts; ++nAttempt, dwTag = dwTag * 69069U + 1U) {
        wchar_t szName[32] = {};
        std::swprintf(szName, 32, L"download-%08X.partial", static_cast<unsigned>(dwTag));
        const std::wstring wstrPath = wstrDirectory + L"\\" + szName;
        // Others may read it, nobody may change or remove it while it fills.
        m_hFile.reset(::CreateFileW(wstrPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (m_hFile) {
            m_wstrPath = wstrPath;
            m_ullHeld = 0;
            m_ullTotal = 0;
            return 0;
        }
        dwError = ::GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS)
            break;
    }
    NetDebug::Print(L"cannot create a download file in %ls, win error %u", wstrDirectory.c_str(),
                    static_cast<unsigned>(dwError));
    return dwError;
}

DWORD PartialFile::Restart() {
    if (!m_hFile)
        return ERROR_INVALID_HANDLE;
    LARGE_INTEGER zero = {};
    if (!::SetFilePointerEx(m_hFile.get(), zero, nullptr, FILE_BEGIN) ||
        !::SetEndOfFile(m_hFile.get())) {
        m_dwWriteError = ::GetLastError();
        return m_dwWriteError;
    }
    m_ullHeld = 0;
    m_ullTotal = 0;
    return 0;
}

DWORD PartialFile::Begin(DWORD dwStatus, const std::wstring& wstrContentRange) {
    m_bRangeRefused = false;
    switch (TransferPolicy::JudgeResume(dwStatus, wstrContentRange, m_ullHeld)) {
    case TransferPolicy::ResumeAnswer::Append: {
        TransferPolicy::ContentRange range;
        TransferPolicy::ParseContentRange(wstrContentRange, range);
        m_ullTotal = range.bTotalKnown ? range.ullTotal : 0;
        if (m_ullHeld > 0)
            NetDebug::Print(L"resuming at byte %llu", m_ullHeld);
        return 0;
    }
    case TransferPolicy::ResumeAnswer::Restart:
        if (m_ullHeld > 0)
            NetDebug::Print(L"the server sent the whole file again; %llu bytes dropped", m_ullHeld);
        return Restart();
    case TransferPolicy::ResumeAnswer::Fail:
    default:
        NetDebug::Print(L"range answer \"%ls\" does not continue at byte %llu",
                        wstrContentRange.c_str(), m_ullHeld);
        m_bRangeRefused = true;
        return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    }
}

DWORD PartialFile::Write(const char* pData, DWORD cbData) {
    DWORD cbDone = 0;
    while (cbDone < cbData) {
        const DWORD cbPiece = std::min(cbData - cbDone, kWritePiece);
        DWORD cbWritten = 0;
        if (!::WriteFile(m_hFile.get(), pData + cbDone, cbPiece, &cbWritten, nullptr)) {
            m_dwWriteError = ::GetLastError();
            return m_dwWriteError;
        }
        if (cbWritten == 0) {
            m_dwWriteError = ERROR_WRITE_FAULT;
            return m_dwWriteError;
        }
        cbDone += cbWritten;
        m_ullHeld += cbWritten;
    }
    return 0;
}

ResultCode PartialFile::Commit(const std::wstring& wstrFirstPath, std::wstring& wstrPathOut) {
    if (!m_hFile || !::CloseHandle(m_hFile.release())) {
        NetDebug::Print(L"writing %ls failed, win error %u", m_wstrPath.c_str(),
                        static_cast<unsigned>(::GetLastError()));
        return Result::kCannotCreateFile;
    }
    const ResultCode placed = ClaimNewName(
        wstrFirstPath,
        [this](const std::wstring& wstrPath) -> DWORD {
            return ::MoveFileExW(m_wstrPath.c_str(), wstrPath.c_str(), MOVEFILE_WRITE_THROUGH)
                       ? 0
                       : ::GetLastError();
        },
        wstrPathOut);
    if (placed == Result::kSuccess) {
        NetDebug::Text(wstrPathOut);
        m_wstrPath.clear();
    }
    return placed;
}
