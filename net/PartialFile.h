#pragma once
// The file a download is written into while it arrives. It lives in the
// destination folder under a name no package has and nothing starts
// ("download-XXXXXXXX.partial"), takes the body of each response as a sink
// (appending a resumed range, starting again from zero on a full answer),
// and gets its real, never-overwriting name only once the body is complete.
// Unless it was given that name, it is removed when the object goes.

#include "BodySink.h"
#include "ResultCode.h"

#include "CvComn_Handle.h"

#include <functional>
#include <string>

class PartialFile : public BodySink {
public:
    PartialFile() = default;
    ~PartialFile() override;
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    // Creates a new, empty file in wstrDirectory. 0 or the platform error.
    DWORD Create(const std::wstring& wstrDirectory);

    // Drops what is held, so that the next response starts from zero.
    DWORD Restart();

    // True when the last response was refused because its range did not
    // continue what is held.
    bool RangeRefused() const { return m_bRangeRefused; }
    // The platform error of a failed write or truncation; 0 when none failed.
    DWORD WriteError() const { return m_dwWriteError; }

    DWORD Begin(DWORD dwStatus, const std::wstring& wstrContentRange) override;
    DWORD Write(const char* pData, DWORD cbData) override;
    unsigned long long Held() const override { return m_ullHeld; }
    unsigned long long Total() const override { return m_ullTotal; }

    // Closes the file and gives it wstrFirstPath, or when that name is taken
    // the first free numbered name beside it; wstrPathOut receives the name
    // given (or tried last). Result::kSuccess or Result::kCannotCreateFile.
    ResultCode Commit(const std::wstring& wstrFirstPath, std::wstring& wstrPathOut);

    const std::wstring& Path() const { return m_wstrPath; }

private:
    CvCommon::Handle::UniqueHandle m_hFile;
    std::wstring m_wstrPath;
    unsigned long long m_ullHeld = 0;
    unsigned long long m_ullTotal = 0;
    bool m_bRangeRefused = false;
    DWORD m_dwWriteError = 0;
};

// Gives a new file wstrFirstPath or, when that name is taken, the first free
// numbered name beside it ("name(1).ext", ...): tryName is called with each
// candidate and returns 0 or the platform error, and is called again with the
// next candidate only while the error says the name is taken. wstrPathOut
// receives the candidate tried last and pdwError the last error.
// Result::kSuccess or Result::kCannotCreateFile.
ResultCode ClaimNewName(const std::wstring& wstrFirstPath,
                        const std::function<DWORD(const std::wstring&)>& tryName,
                        std::wstring& wstrPathOut, DWORD* pdwError = nullptr);
