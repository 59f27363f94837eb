#include "Util_File.h"
#include "Util_Shell.h"

#include "CvComn_Handle.h"
#include "scratch_folder.h"

#include <shlwapi.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <utility>

namespace {

using CvCommon::Handle::UniqueHandle;

using testsupport::ScratchFolder;

void WriteFile(const std::wstring& wstrPath, DWORD dwAttributes = FILE_ATTRIBUTE_NORMAL) {
    UniqueHandle hFile(::CreateFileW(wstrPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     dwAttributes, nullptr));
    ASSERT_TRUE(hFile) << "cannot create test file, error " << ::GetLastError();
    DWORD cbWritten = 0;
    ::WriteFile(hFile.get(), "data", 4, &cbWritten, nullptr);
}

bool Exists(const std::wstring& wstrPath) {
    return ::PathFileExistsW(wstrPath.c_str());
}
bool IsDirectory(const std::wstring& wstrPath) {
    return ::PathIsDirectoryW(wstrPath.c_str());
}
bool IsEmptyDirectory(const std::wstring& wstrPath) {
    return ::PathIsDirectoryEmptyW(wstrPath.c_str());
}

TEST(UtilExpandEnvironment, ExpandsReferencesAndAlwaysEnds) {
    const std::wstring wstrLong(5000, L'L');
    const std::pair<const wchar_t*, std::wstring> variables[] = {
        {L"UT_A", L"alpha"},         {L"UT_B", L"beta"},
        {L"UT_PATH", L"C:\\Data"},   {L"UT_SELF", L"%UT_SELF%"},
        {L"UT_P", L"%UT_Q%"},        {L"UT_Q", L"%UT_P%"},
        {L"UT_GROW", L"a%UT_GROW%"}, {L"UT_PCT", L"50%"},
        {L"UT_EMPTY", L""},          {L"UT_260", std::wstring(260, L'y')},
        {L"UT_LONG", wstrLong},
    };
    for (const auto& variable : variables)
        ASSERT_TRUE(::SetEnvironmentVariableW(variable.first, variable.second.c_str()));

    struct Case {
        std::wstring wstrIn;
        std::wstring wstrOut;
        DWORD dwError;
    };
    const Case cases[] = {
        {L"%UT_A%\\x", L"alpha\\x", 0},
        {L"pre%UT_A%post", L"prealphapost", 0},
        {L"%UT_A%-%UT_B%", L"alpha-beta", 0},
        {L"no references", L"no references", 0},
        {L"100%", L"100%", 0},
        {L"C:\\%UT_A%", L"C:\\%UT_A%", 0},
        {L"%UT_A%\\y:%UT_B%", L"alpha\\y:%UT_B%", 0},
        // A drive letter that came from a value does not stop the expansion.
        {L"%UT_PATH%\\%UT_B%", L"C:\\Data\\beta", 0},
        {L"%UT_UNDEFINED%\\x", L"%UT_UNDEFINED%\\x", 203},
        {L"%UT_A%\\%UT_UNDEFINED%\\%UT_B%", L"alpha\\%UT_UNDEFINED%\\%UT_B%", 203},
        {L"%UT_EMPTY%x", L"%UT_EMPTY%x", 203},
        // Values holding percent signs are inserted as they are.
        {L"%UT_SELF%", L"%UT_SELF%", 0},
        {L"%UT_P%", L"%UT_Q%", 0},
        {L"%UT_GROW%!", L"a%UT_GROW%!", 0},
        {L"%UT_PCT% of %UT_A%", L"50% of alpha", 0},
        // Values longer than a path buffer arrive whole.
        {L"<%UT_260%>", L"<" + std::wstring(260, L'y') + L">", 0},
        {L"%UT_LONG%", wstrLong, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.wstrIn.substr(0, 40) << "'");
        DWORD dwError = 0xDEAD;
        EXPECT_EQ(Util::ExpandEnvironmentString(c.wstrIn, &dwError), c.wstrOut);
        EXPECT_EQ(dwError, c.dwError);
    }
}

TEST(UtilDeleteDirectoryContents, RemovesReadOnlyEntriesAndKeepsTop) {
    ScratchFolder dir;
    WriteFile(dir / L"plain.txt");
    WriteFile(dir / L"readonly.txt", FILE_ATTRIBUTE_READONLY);
    WriteFile(dir / L"hidden.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_TRUE(::CreateDirectoryW((dir / L"sub").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((dir / L"sub\\deeper").c_str(), nullptr));
    WriteFile(dir / L"sub\\deeper\\readonly.txt", FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(::CreateDirectoryW((dir / L"rodir").c_str(), nullptr));
    WriteFile(dir / L"rodir\\f.txt");
    ASSERT_TRUE(::SetFileAttributesW((dir / L"rodir").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(::CreateDirectoryW((dir / L"empty").c_str(), nullptr));

    DWORD dwError = 0xDEAD;
    EXPECT_TRUE(Util::DeleteDirectoryContents(dir.Path(), &dwError));
    EXPECT_EQ(dwError, 0u);
    EXPECT_TRUE(IsDirectory(dir.Path()));
    EXPECT_TRUE(IsEmptyDirectory(dir.Path()));
}

TEST(UtilDeleteDirectoryContents, ReportsWhatItCannotRemove) {
    DWORD dwError = 0;
    EXPECT_FALSE(Util::DeleteDirectoryContents(L"", &dwError));
    EXPECT_EQ(dwError, 160u);

    ScratchFolder dir;
    dwError = 0;
    EXPECT_FALSE(Util::DeleteDirectoryContents(dir / L"missing", &dwError));
    EXPECT_TRUE(dwError == ERROR_PATH_NOT_FOUND || dwError == ERROR_FILE_NOT_FOUND) << dwError;

    // A file held open without delete sharing stays; everything else goes,
    // and the failure is reported.
    ASSERT_TRUE(::CreateDirectoryW((dir / L"sub").c_str(), nullptr));
    WriteFile(dir / L"a.txt");
    WriteFile(dir / L"sub\\locked.txt");
    WriteFile(dir / L"z.txt");
    {
        UniqueHandle hLocked(::CreateFileW((dir / L"sub\\locked.txt").c_str(), GENERIC_READ,
                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(hLocked);
        dwError = 0;
        EXPECT_FALSE(Util::DeleteDirectoryContents(dir.Path(), &dwError));
        EXPECT_NE(dwError, 0u);
        EXPECT_TRUE(Exists(dir / L"sub\\locked.txt"));
        EXPECT_FALSE(Exists(dir / L"a.txt"));
        EXPECT_FALSE(Exists(dir / L"z.txt"));
    }
    EXPECT_TRUE(Util::DeleteDirectoryContents(dir.Path(), &dwError));
    EXPECT_TRUE(IsEmptyDirectory(dir.Path()));
}

TEST(UtilDeleteDirectoryContents, RemovesDirectoryLinksWithoutFollowingThem) {
    ScratchFolder dir;
    ASSERT_TRUE(::CreateDirectoryW((dir / L"outside").c_str(), nullptr));
    WriteFile(dir / L"outside\\keep.txt");
    ASSERT_TRUE(::CreateDirectoryW((dir / L"inside").c_str(), nullptr));
    const std::wstring wstrLink = dir / L"inside\\link";
    if (!::CreateSymbolicLinkW(wstrLink.c_str(), (dir / L"outside").c_str(),
                               SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged */)) {
        GTEST_SKIP() << "directory links cannot be made here, error " << ::GetLastError();
    }
    // Wine 8 reports success without making the link.
    const DWORD dwLinkAttributes = ::GetFileAttributesW(wstrLink.c_str());
    if (dwLinkAttributes == INVALID_FILE_ATTRIBUTES ||
        !(dwLinkAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "directory links are not supported here";

    EXPECT_TRUE(Util::DeleteDirectoryContents(dir / L"inside"));
    EXPECT_TRUE(IsEmptyDirectory(dir / L"inside"));
    EXPECT_TRUE(Exists(dir / L"outside\\keep.txt"));
}

TEST(UtilCreateDirectoryPath, CreatesEveryMissingLevel) {
    ScratchFolder dir;
    DWORD dwError = 0xDEAD;
    EXPECT_TRUE(Util::CreateDirectoryPath(dir / L"a\\b\\c", &dwError));
    EXPECT_TRUE(IsDirectory(dir / L"a\\b\\c"));

    // Already there: true, nothing written to the error output.
    dwError = 0xDEAD;
    EXPECT_TRUE(Util::CreateDirectoryPath(dir / L"a\\b\\c", &dwError));
    EXPECT_EQ(dwError, 0xDEADu);

    // Slashes, doubled separators and the long-path prefix.
    EXPECT_TRUE(Util::CreateDirectoryPath(dir / L"d/e\\\\f\\", &dwError));
    EXPECT_TRUE(IsDirectory(dir / L"d\\e\\f"));
    EXPECT_TRUE(Util::CreateDirectoryPath(L"\\\\?\\" + (dir / L"g\\h"), &dwError));
    EXPECT_TRUE(IsDirectory(dir / L"g\\h"));

    // A drive root exists and is never created.
    wchar_t szWindows[MAX_PATH] = {};
    ASSERT_GT(::GetWindowsDirectoryW(szWindows, MAX_PATH), 2u);
    const std::wstring wstrRoot = std::wstring(szWindows, 3);
    dwError = 0xDEAD;
    EXPECT_TRUE(Util::CreateDirectoryPath(wstrRoot, &dwError)) << dwError;
}

TEST(UtilCreateDirectoryPath, FailsWhereNoDirectoryCanBe) {
    ScratchFolder dir;
    WriteFile(dir / L"file");
    struct Case {
        std::wstring wstrPath;
        DWORD dwError;
    };
    const Case cases[] = {
        {L"", 160},
        {dir / L"file", ERROR_FILE_EXISTS},
        {dir / L"file\\child", ERROR_FILE_EXISTS},
        {dir / L"bad<name>\\x", ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.wstrPath << "'");
        DWORD dwError = 0;
        EXPECT_FALSE(Util::CreateDirectoryPath(c.wstrPath, &dwError));
        EXPECT_EQ(dwError, c.dwError);
    }
}

TEST(UtilPathRootLength, FindsTheRootOfEveryPathForm) {
    struct Case {
        const wchar_t* pszPath;
        size_t nLength;
    };
    const Case cases[] = {
        {L"", 0},
        {L"relative\\dir", 0},
        {L"\\rooted\\dir", 1},
        {L"C:", 2},
        {L"C:\\", 3},
        {L"C:/dir", 3},
        {L"\\\\server\\share\\dir\\x", 15},
        {L"\\\\?\\C:\\dir", 7},
        {L"\\\\?\\UNC\\server\\share\\dir", 21},
        {L"\\\\?\\Volume{1234}\\dir", 17},
        {L"1:\\dir", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Util::PathRootLength(c.pszPath), c.nLength) << "'" << c.pszPath << "'";
    }
}

TEST(UtilGetModuleDirectory, IsTheFolderOfThisProgram) {
    wchar_t szModule[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, szModule, MAX_PATH), 0u);
    const std::wstring wstrModule = szModule;
    EXPECT_EQ(Util::GetModuleDirectory(), wstrModule.substr(0, wstrModule.rfind(L'\\')));
}

TEST(UtilGetFileVersionString, FormatsTheFileVersion) {
    const std::wstring wstrHere = Util::GetModuleDirectory();
    const std::wstring wstrFixture = wstrHere + L"\\util_version_fixture.exe";
    ASSERT_TRUE(Exists(wstrFixture)) << "the version fixture is built next to this program";
    EXPECT_EQ(Util::GetFileVersionString(wstrFixture), L"1.2.4");

    wchar_t szModule[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, szModule, MAX_PATH);
    EXPECT_EQ(Util::GetFileVersionString(szModule), L"") << "this program has no version";
    EXPECT_EQ(Util::GetFileVersionString(wstrHere + L"\\no_such_file.dll"), L"");
    EXPECT_EQ(Util::GetFileVersionString(L""), L"");

    wchar_t szSystem[MAX_PATH] = {};
    ASSERT_GT(::GetSystemDirectoryW(szSystem, MAX_PATH), 0u);
    const std::wstring wstrVersion =
        Util::GetFileVersionString(std::wstring(szSystem) + L"\\kernel32.dll");
    unsigned uMajor = 0, uMinor = 0, uLast = 0;
    wchar_t chExtra = 0;
    EXPECT_EQ(swscanf(wstrVersion.c_str(), L"%u.%u.%u%lc", &uMajor, &uMinor, &uLast, &chExtra), 3)
        << "kernel32.dll version '" << wstrVersion << "'";
}

TEST(UtilCreateShellDispatch, GivesTheShellOrTheFailure) {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    // Shell.Application, {13709620-C279-11CE-A49E-444553540000}.
    const CLSID clsidShell = {
        0x13709620, 0xC279, 0x11CE, {0xA4, 0x9E, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
    const CLSID clsidNone = {0x0BADC0DE, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};
    const DWORD dwContext =
        CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

    IShellDispatch* pShell = nullptr;
    EXPECT_EQ(Util::CreateShellDispatch(clsidShell, nullptr, dwContext, &pShell), S_OK);
    ASSERT_NE(pShell, nullptr);
    pShell->Release();

    pShell = reinterpret_cast<IShellDispatch*>(1);
    EXPECT_TRUE(FAILED(Util::CreateShellDispatch(clsidNone, nullptr, dwContext, &pShell)));
    EXPECT_EQ(pShell, nullptr);
    EXPECT_EQ(Util::CreateShellDispatch(clsidShell, nullptr, dwContext, nullptr), E_POINTER);
    ::CoUninitialize();
}

} // namespace
