// Files and paths of the shared library: FileBase codes, FileExists and
// CombinePath.
#include "CvComn_Storage.h"
#include "scratch_folder.h"

#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

using CvCommon::Storage::FileBase;

namespace {

const char kContent[] = "0123456789"; // ten bytes on disk

// A fresh folder per test holding data.txt with kContent.
class StorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_wstrFile = m_folder / L"data.txt";
        CvCommon::Handle::UniqueHandle hFile(::CreateFileW(m_wstrFile.c_str(), GENERIC_WRITE, 0,
                                                           nullptr, CREATE_ALWAYS,
                                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(hFile);
        DWORD dwWritten = 0;
        ASSERT_TRUE(::WriteFile(hFile.get(), kContent, 10, &dwWritten, nullptr));
    }
    static bool OpenForRead(FileBase& file, DWORD* pdwError, DWORD dwShare = FILE_SHARE_READ) {
        return file.Open(CvCommon::AccessControl::SecurityAttributes(), GENERIC_READ, dwShare,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, pdwError);
    }

    testsupport::ScratchFolder m_folder;
    std::wstring m_wstrFile;
};

// Consecutive reads: a full one, a short one that still delivers its bytes,
// then end of file. The buffer is pre-filled to show it is zeroed first.
TEST_F(StorageTest, ReadReportsFullShortAndEndOfFile) {
    struct Step {
        DWORD dwLength;
        bool bResult;
        DWORD dwError;
        DWORD dwRead;
        const char* pszBytes;
    };
    const Step steps[] = {
        {4, true, 0, 4, "0123"},
        {10, false, ERROR_INVALID_DATA, 6, "456789"},
        {4, false, ERROR_HANDLE_EOF, 0, ""},
    };
    FileBase file(m_wstrFile);
    DWORD dwError = 1;
    ASSERT_TRUE(OpenForRead(file, &dwError));
    EXPECT_EQ(0u, dwError);
    for (const Step& step : steps) {
        SCOPED_TRACE(step.dwLength);
        char buffer[16];
        std::memset(buffer, 'x', sizeof(buffer));
        DWORD dwRead = 99;
        EXPECT_EQ(step.bResult, file.Read(buffer, step.dwLength, &dwRead, &dwError));
        EXPECT_EQ(step.dwError, dwError);
        EXPECT_EQ(step.dwRead, dwRead);
        EXPECT_EQ(std::string(step.pszBytes) + std::string(step.dwLength - dwRead, '\0'),
                  std::string(buffer, step.dwLength));
        EXPECT_EQ('x', buffer[step.dwLength]);
    }

    // The form without a count gives the same codes.
    char buffer[4];
    EXPECT_FALSE(file.Read(buffer, sizeof(buffer), &dwError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), dwError);
    EXPECT_FALSE(file.Read(nullptr, 4, &dwError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_ARGUMENTS), dwError);
}

// Codes of the operations on a closed file and of the refused opens.
TEST_F(StorageTest, StateAndArgumentCodes) {
    FileBase closed(m_wstrFile), empty(L""), missing(m_folder / L"missing.txt");
    FileBase open(m_wstrFile);
    ASSERT_TRUE(OpenForRead(open, nullptr));
    char buffer[4];
    DWORD dwSize = 99;
    DWORD dwError = 0;
    // The call is made (and dwError written) before the lambda runs.
    auto failsWith = [&](bool bResult) {
        EXPECT_FALSE(bResult);
        return std::exchange(dwError, 0);
    };
    EXPECT_EQ(6u, failsWith(closed.Read(buffer, 4, &dwError)));
    EXPECT_EQ(6u, failsWith(closed.GetSize(dwSize, &dwError)));
    EXPECT_EQ(0u, dwSize);
    EXPECT_EQ(6u, failsWith(closed.Close(&dwError)));
    EXPECT_EQ(6u, failsWith(closed.IsOpen(&dwError)));
    EXPECT_EQ(160u, failsWith(OpenForRead(empty, &dwError)));
    EXPECT_EQ(2u, failsWith(OpenForRead(missing, &dwError)));
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(5010u, failsWith(OpenForRead(open, &dwError)));

    // The open file is unharmed by the refused second open.
    EXPECT_TRUE(open.GetSize(dwSize, &dwError));
    EXPECT_EQ(10u, dwSize);
    EXPECT_TRUE(open.Close(&dwError));
    EXPECT_EQ(0u, dwError);
    EXPECT_EQ(6u, failsWith(open.Close(&dwError)));
}

TEST_F(StorageTest, DestructorClosesTheFile) {
    auto openAgain = [&] {
        CvCommon::Handle::UniqueHandle hFile(
            ::CreateFileW(m_wstrFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        return hFile ? ERROR_SUCCESS : ::GetLastError();
    };
    {
        FileBase file(m_wstrFile);
        ASSERT_TRUE(OpenForRead(file, nullptr, 0));
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openAgain());
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), openAgain());
}

// A size beyond 32 bits is refused instead of being cut to its low part.
TEST_F(StorageTest, GetSizeRefusesSizesBeyond32Bits) {
    const std::wstring wstrBig = m_folder / L"big.bin";
    {
        CvCommon::Handle::UniqueHandle hFile(
            ::CreateFileW(wstrBig.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(hFile);
        DWORD dwReturned = 0; // sparse where the file system allows, so no space is taken
        ::DeviceIoControl(hFile.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &dwReturned,
                          nullptr);
        LARGE_INTEGER liEnd;
        liEnd.QuadPart = 0x100000010LL; // 4 GiB + 16: the low part alone would read 16
        if (!::SetFilePointerEx(hFile.get(), liEnd, nullptr, FILE_BEGIN) ||
            !::SetEndOfFile(hFile.get()))
            GTEST_SKIP() << "cannot make a file of more than 4 GiB here";
    }
    FileBase file(wstrBig);
    ASSERT_TRUE(OpenForRead(file, nullptr));
    DWORD dwSize = 99;
    DWORD dwError = 0;
    EXPECT_FALSE(file.GetSize(dwSize, &dwError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_TOO_LARGE), dwError);
    EXPECT_EQ(0u, dwSize);
}

TEST_F(StorageTest, FileExistsMatchesPathsAndPatterns) {
    struct Case {
        std::wstring wstrPath;
        bool bResult;
        DWORD dwError;
    };
    const Case cases[] = {
        {m_wstrFile, true, 0},
        {m_folder.Path(), true, 0},
        {m_folder / L"*.txt", true, 0},
        {m_folder / L"d?ta.*", true, 0},
        {m_folder / L"*.none", false, ERROR_FILE_NOT_FOUND},
        {m_folder / L"missing.txt", false, ERROR_FILE_NOT_FOUND},
        {m_folder / L"missing\\data.txt", false, ERROR_PATH_NOT_FOUND},
        {L"", false, ERROR_BAD_ARGUMENTS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wstrPath));
        DWORD dwError = 99;
        EXPECT_EQ(c.bResult, CvCommon::Storage::FileExists(c.wstrPath, &dwError));
        EXPECT_EQ(c.dwError, dwError);
    }
}

TEST(StoragePaths, CombinePathAddsOneBackslash) {
    const struct {
        const wchar_t* pszPath;
        const wchar_t* pszName;
        const wchar_t* pszResult;
    } cases[] = {
        {L"C:\\dir", L"file", L"C:\\dir\\file"},
        {L"C:\\dir\\", L"file", L"C:\\dir\\file"},
        {L"", L"file", L"file"},
        {L"C:\\dir", L"", L"C:\\dir\\"},
    };
    for (const auto& c : cases) {
        std::wstring wstrPath = c.pszPath;
        EXPECT_TRUE(CvCommon::Storage::CombinePath(wstrPath, c.pszName));
        EXPECT_EQ(c.pszResult, wstrPath);
    }
}

} // namespace
