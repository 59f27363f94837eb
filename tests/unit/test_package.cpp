// The package's digest, its sidecar, and unpacking zip packages.

#include "ArchiveExtraction.h"
#include "FileDigest.h"
#include "LaunchWorkflow.h"
#include "LauncherDeployment.h"
#include "PackageFolders.h"
#include "PackageRegistry.h"

#include "CvComn_AccessControl.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using testsupport::ScratchFolder;

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Pattern(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

bool Exists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring TestZip(const wchar_t* name) {
    return ScratchFolder::ProgramFolder() + L"\\test_zips\\" + name;
}

} // namespace

TEST(FileDigest, Md5OfFilesAroundTheChunkSize) {
    const ScratchFolder folder = ScratchFolder::BesideProgram(L"digest");
    const struct {
        std::string bytes;
        const wchar_t* md5;
    } cases[] = {
        {"", L"d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
        {Pattern(4047), L"712326270d912c0a38578dc7647e6419"},
        {Pattern(4048), L"bb063759ea140ef8c7979d33d966b442"},
        {Pattern(4049), L"129a54cdcbf82d3c91ab95aeec626961"},
        {Pattern(8096), L"d2afec6fd6d01dd40364fcdd51ca7e03"},
        {Pattern(100000), L"28cb595c158e9b74e34ae9e8da710fff"},
    };
    for (const auto& c : cases) {
        WriteBytes(folder / L"f.bin", c.bytes);
        std::wstring digest = L"prefix:";
        ASSERT_TRUE(ComputeFileMd5(folder / L"f.bin", digest));
        EXPECT_EQ(digest, std::wstring(L"prefix:") + c.md5) << c.bytes.size() << " bytes";
    }
    std::wstring digest;
    EXPECT_FALSE(ComputeFileMd5(folder / L"missing.bin", digest));
    EXPECT_EQ(digest, L"");
}

TEST(FileDigest, TheHeldFileCannotBeReplacedUntilReleased) {
    const ScratchFolder folder = ScratchFolder::BesideProgram(L"held");
    const std::wstring file = folder / L"setup.exe";
    const std::wstring other = folder / L"other.exe";
    WriteBytes(file, "checked");
    WriteBytes(other, "replacement");
    std::wstring digest;
    CvCommon::Handle::UniqueHandle held;
    ASSERT_TRUE(ComputeFileMd5(file, digest, &held));
    ASSERT_TRUE(held);
    // Every way another program would swap the bytes under the check.
    const auto attempts = [&] {
        return std::vector<bool>{
            ::CopyFileW(other.c_str(), file.c_str(), FALSE) != FALSE,
            ::MoveFileExW(other.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE,
            ::MoveFileW(file.c_str(), (folder / L"moved.exe").c_str()) != FALSE,
            ::DeleteFileW(file.c_str()) != FALSE,
        };
    };
    EXPECT_EQ(attempts(), std::vector<bool>(4, false));
    held.reset();
    EXPECT_TRUE(::CopyFileW(other.c_str(), file.c_str(), FALSE));
}

TEST(FileDigest, SidecarMatchesOnlyTheLowerCaseDigestAnywhereInItsText) {
    const std::wstring digest = L"900150983cd24fb0d6963f7d28e17f72";
    EXPECT_TRUE(SidecarHoldsDigest(digest, digest));
    EXPECT_TRUE(SidecarHoldsDigest(digest + L"  setup.exe\r\n", digest));
    EXPECT_TRUE(SidecarHoldsDigest(L"MD5 (setup.exe) = " + digest, digest));
    EXPECT_FALSE(SidecarHoldsDigest(L"900150983CD24FB0D6963F7D28E17F72  setup.exe", digest));
    EXPECT_FALSE(SidecarHoldsDigest(L"", digest));
    EXPECT_FALSE(SidecarHoldsDigest(digest.substr(0, 31), digest));
    EXPECT_FALSE(SidecarHoldsDigest(L"anything", L""));
}

TEST(Sidecar, ReadWholeAsUtf8AtEverySizeAroundTheChunk) {
    const ScratchFolder folder = ScratchFolder::BesideProgram(L"sidecar");
    for (size_t n : {0u, 1u, 255u, 256u, 257u, 512u, 1000u}) {
        std::string text(n, 'a');
        if (n > 0)
            text.back() = 'z';
        WriteBytes(folder / L"s.txt", text);
        std::wstring read = L"stale";
        ASSERT_TRUE(LaunchWorkflow::ReadSidecar(folder / L"s.txt", read)) << n;
        EXPECT_EQ(read, std::wstring(text.begin(), text.end())) << n;
    }
    WriteBytes(folder / L"s.txt", "caf\xc3\xa9 \xe2\x82\xac");
    std::wstring read;
    ASSERT_TRUE(LaunchWorkflow::ReadSidecar(folder / L"s.txt", read));
    EXPECT_EQ(read, L"caf\u00e9 \u20ac");
    // The text ends at the first zero byte.
    WriteBytes(folder / L"s.txt", std::string("abc\0def", 7));
    ASSERT_TRUE(LaunchWorkflow::ReadSidecar(folder / L"s.txt", read));
    EXPECT_EQ(read, L"abc");

    read = L"stale";
    EXPECT_FALSE(LaunchWorkflow::ReadSidecar(folder / L"missing.txt", read));
    EXPECT_EQ(read, L"");
}

TEST(Sidecar, UrlAndFolderOfDownloadedAndKeptPackages) {
    const std::wstring placeholder = LAUNCHER_PLACEHOLDER_URL;
    const std::wstring store = std::wstring(L"https://") + LAUNCHER_PACKAGE_STORE_HOST;
    EXPECT_EQ(LaunchWorkflow::SidecarUrl(L"C:\\x\\Package\\setup.exe", L"https://s/a/setup.exe"),
              L"https://s/a/setup.exe_MD5.txt");
    EXPECT_EQ(LaunchWorkflow::SidecarUrl(L"C:\\x\\Package\\Build\\setup.exe", placeholder + L"/p"),
              store + L"/1.1/en-us/setup.exe_MD5.txt");

    // The package folder the launcher made decides, not a part of the name.
    const struct {
        const wchar_t* file;
        const wchar_t* packageDir;
        const wchar_t* folder;
    } folders[] = {
        {L"C:\\x\\Package\\Build\\setup.exe", L"C:\\x\\Package", L"C:\\x\\Package"},
        {L"C:\\x\\Package\\setup(1).exe", L"C:\\x\\Package", L"C:\\x\\Package"},
        {L"c:\\X\\package\\Build\\setup.exe", L"C:\\x\\Package", L"C:\\x\\Package"},
        {L"C:\\PackageCache\\Package\\Build\\setup.exe", L"C:\\PackageCache\\Package",
         L"C:\\PackageCache\\Package"},
        {L"C:\\PackageCache\\Package\\setup.exe", L"C:\\PackageCache\\Package",
         L"C:\\PackageCache\\Package"},
        // Beside the package folder, or a hand-edited path elsewhere: the
        // file's own folder.
        {L"C:\\x\\PackageOld\\setup.exe", L"C:\\x\\Package", L"C:\\x\\PackageOld"},
        {L"C:\\PackageCache\\setup.exe", L"C:\\PackageCache\\Package", L"C:\\PackageCache"},
        {L"D:\\elsewhere\\Package\\setup.exe", L"C:\\x\\Package", L"D:\\elsewhere\\Package"},
        {L"setup.exe", L"C:\\x\\Package", L""},
    };
    for (const auto& c : folders)
        EXPECT_EQ(LaunchWorkflow::SidecarFolder(c.file, c.packageDir), c.folder) << c.file;
}

// A workflow whose package folders lie in a scratch folder of the test's.
class PackageFolders : public ::testing::Test {
protected:
    void SetUp() override {
        m_config = m_scratch / L"launcher.ini";
        WriteConfig(m_scratch / L"base", L"setup.exe");
    }
    void WriteConfig(const std::wstring& base, const std::wstring& setup) {
        std::wofstream out(m_config.c_str(), std::ios::trunc);
        out << L"[build]\nlocalTempPath=" << base << L"\nsetup=" << setup << L"\n";
    }
    // Copies a test archive into the package folder, as a download would.
    void Downloaded(LaunchWorkflow& workflow, const wchar_t* zip) {
        const std::wstring path = workflow.PackageDir() + L"\\package.zip";
        ::DeleteFileW(path.c_str());
        ASSERT_TRUE(::CopyFileW(TestZip(zip).c_str(), path.c_str(), FALSE));
        workflow.SetPackagePath(path);
    }
    std::wstring Md5(const std::wstring& path) {
        std::wstring digest;
        return ComputeFileMd5(path, digest) ? digest : L"(none)";
    }
    // A sibling of the build folder ("Build.*" also finds "Build" itself).
    bool AnyLeftover(const LaunchWorkflow& workflow) {
        WIN32_FIND_DATAW found;
        const std::wstring pattern = workflow.BuildDir() + L".*";
        HANDLE h = ::FindFirstFileW(pattern.c_str(), &found);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        bool bLeftover = false;
        do
            bLeftover = bLeftover || std::wstring(found.cFileName) != L"Build";
        while (::FindNextFileW(h, &found));
        ::FindClose(h);
        return bLeftover;
    }

    ScratchFolder m_scratch = ScratchFolder::BesideProgram(L"package-folders");
    std::wstring m_config;
};

TEST_F(PackageFolders, ARelativeBaseBelongsToTheLaunchersFolder) {
    const ScratchFolder relative = ScratchFolder::BesideProgram(L"relative-base");
    WriteConfig(L"relative-base\\.\\here", L"setup.exe");
    // Whatever folder the caller started in.
    ::SetCurrentDirectoryW(m_scratch.Path().c_str());
    LauncherConfig config(m_config);
    LaunchWorkflow workflow(config);
    EXPECT_EQ(workflow.PackageDir(), relative / L"here\\Package");
    EXPECT_TRUE(Exists(relative / L"here\\Package\\Build"));
    ::SetCurrentDirectoryW(ScratchFolder::ProgramFolder().c_str());
}

TEST_F(PackageFolders, AnArchiveReplacesTheBuildFolderOnlyWhenItUnpackedWhole) {
    LauncherConfig config(m_config);
    LaunchWorkflow workflow(config);
    Downloaded(workflow, L"good.zip");
    ASSERT_EQ(workflow.PrepareLaunchFile(), Result::kSuccess);
    const std::wstring launch = workflow.BuildDir() + L"\\setup.exe";
    EXPECT_EQ(workflow.LaunchPath(), launch);
    const std::wstring good = Md5(launch);
    ASSERT_NE(good, L"(none)");
    // Something of the earlier build that the new archive does not hold goes.
    WriteBytes(workflow.BuildDir() + L"\\stale.txt", "old");

    for (const wchar_t* bad : {L"bad_crc.zip", L"bad_short.zip", L"not_a_zip.zip",
                               L"bad_parent.zip", L"bomb_declared.zip"}) {
        SCOPED_TRACE(bad);
        Downloaded(workflow, bad);
        EXPECT_EQ(workflow.PrepareLaunchFile(), Result::kUnzipFailed);
        // The build folder is as it was; nothing half-unpacked is left.
        EXPECT_EQ(Md5(launch), good);
        EXPECT_TRUE(Exists(workflow.BuildDir() + L"\\stale.txt"));
        EXPECT_FALSE(AnyLeftover(workflow));
    }

    Downloaded(workflow, L"good.zip");
    ASSERT_EQ(workflow.PrepareLaunchFile(), Result::kSuccess);
    EXPECT_EQ(Md5(launch), good);
    EXPECT_FALSE(Exists(workflow.BuildDir() + L"\\stale.txt"));
    EXPECT_FALSE(AnyLeftover(workflow));
}

TEST_F(PackageFolders, PreparingRemembersNothingBeforeTheCheck) {
    const std::wstring marker = L"C:\\kept\\verified\\setup.exe";
    RememberLaunchPath(marker);
    ASSERT_EQ(ReadRememberedLaunchPath(), marker);
    LauncherConfig config(m_config);
    LaunchWorkflow workflow(config);
    for (const wchar_t* name : {L"package.zip", L"package.exe", L"package.bin"}) {
        SCOPED_TRACE(name);
        const std::wstring path = workflow.PackageDir() + L"\\" + name;
        if (std::wstring(name) == L"package.zip")
            ASSERT_TRUE(::CopyFileW(TestZip(L"good.zip").c_str(), path.c_str(), FALSE));
        else
            WriteBytes(path, "MZ");
        workflow.SetPackagePath(path);
        EXPECT_EQ(workflow.PrepareLaunchFile(), Result::kSuccess);
        EXPECT_EQ(ReadRememberedLaunchPath(), marker);
    }
    RememberLaunchPath(L"");
}

// Everyone gets write and delete rights on the folder, as a folder made by
// someone else, or inherited from a parent that lets users create, may have.
static bool LetEveryoneWrite(const std::wstring& path) {
    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = FILE_ALL_ACCESS;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    wchar_t szEveryone[] = L"EVERYONE";
    access.Trustee.ptstrName = szEveryone;
    PACL pAcl = nullptr;
    if (::SetEntriesInAclW(1, &access, nullptr, &pAcl) != ERROR_SUCCESS)
        return false;
    const DWORD dwResult =
        ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                DACL_SECURITY_INFORMATION, nullptr, nullptr, pAcl, nullptr);
    ::LocalFree(pAcl);
    return dwResult == ERROR_SUCCESS;
}

TEST_F(PackageFolders, AFolderOthersMayChangeIsMadeAnewAndATrustedOneKept) {
    const std::wstring folder = m_scratch / L"Package";
    // A trusted folder keeps what it holds.
    ASSERT_TRUE(MakeTrustedFolder(folder));
    WriteBytes(folder + L"\\kept.exe", "MZ");
    ASSERT_TRUE(MakeTrustedFolder(folder));
    EXPECT_TRUE(Exists(folder + L"\\kept.exe"));

    // One anybody may write is emptied and made anew; so is a file in its place.
    ASSERT_TRUE(LetEveryoneWrite(folder));
    ASSERT_FALSE(CvCommon::AccessControl::IsTrustedFolder(folder));
    WriteBytes(folder + L"\\planted.dll", "MZ");
    EXPECT_TRUE(MakeTrustedFolder(folder));
    EXPECT_TRUE(CvCommon::AccessControl::IsTrustedFolder(folder));
    EXPECT_FALSE(Exists(folder + L"\\planted.dll"));
    EXPECT_FALSE(Exists(folder + L"\\kept.exe"));

    const std::wstring file = m_scratch / L"NotAFolder";
    WriteBytes(file, "x");
    EXPECT_TRUE(MakeTrustedFolder(file));
    EXPECT_TRUE(CvCommon::AccessControl::IsTrustedFolder(file));

    // Nothing moved aside is left next to them.
    WIN32_FIND_DATAW found = {};
    HANDLE h = ::FindFirstFileW((m_scratch / L"*.untrusted-*").c_str(), &found);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE)
        ::FindClose(h);
}

TEST(ArchiveExtraction, EntryNamesMustStayInsideTheDestination) {
    const struct {
        const wchar_t* name;
        const wchar_t* path;
    } cases[] = {
        {L"setup.exe", L"setup.exe"},
        {L"data/readme.txt", L"data\\readme.txt"},
        {L"data/", L"data\\"},
        {L"a.b.c", L"a.b.c"},
        {L"../evil", L""},
        {L"..\\evil", L""},
        {L"a/../../evil", L""},
        {L"a/./b", L""},
        {L"/abs", L""},
        {L"\\abs", L""},
        {L"C:/evil", L""},
        {L"C:evil", L""},
        {L"ok.txt:stream", L""},
        {L"a//b", L""},
        {L"sub/... /x", L""},
        {L"dots.", L""},
        {L"nul", L""},
        {L"sub/COM1.txt", L""},
        {L"con .txt", L""},
        {L"sub/Aux .tar.gz", L""},
        {L"CONOUT$", L""},
        {L"com0.txt", L"com0.txt"},
        {L"console.txt", L"console.txt"},
        {L"what?.txt", L""},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SafeArchiveEntryPath(c.name), c.path) << c.name;
}

TEST(ArchiveExtraction, UnpacksGoodArchivesAndRefusesBadOnesWholesale) {
    const ScratchFolder out = ScratchFolder::BesideProgram(L"unzip");
    const struct {
        const wchar_t* zip;
        bool ok;
        const wchar_t* expected;
    } cases[] = {
        {L"good.zip", true, L"data\\readme.txt"},
        {L"stored.zip", true, L"setup.exe"},
        {L"utf8.zip", true, L"d\u00e9j\u00e0.txt"},
        {L"bad_parent.zip", false, nullptr},
        {L"bad_parent_backslash.zip", false, nullptr},
        {L"bad_nested_parent.zip", false, nullptr},
        {L"bad_absolute.zip", false, nullptr},
        {L"bad_drive.zip", false, nullptr},
        {L"bad_stream.zip", false, nullptr},
        {L"bad_trailing_dot.zip", false, nullptr},
        {L"bad_device.zip", false, nullptr},
        {L"bad_crc.zip", false, nullptr},
        {L"bad_short.zip", false, nullptr},
        {L"not_a_zip.zip", false, nullptr},
        {L"missing.zip", false, nullptr},
    };
    for (const auto& c : cases) {
        out.Clear();
        const HRESULT hr = ExtractArchiveDirectly(TestZip(c.zip), out.Path());
        EXPECT_EQ(SUCCEEDED(hr), c.ok) << c.zip << " hr " << std::hex << hr;
        if (c.expected) {
            EXPECT_TRUE(Exists(out / c.expected)) << c.zip;
        }
        if (!c.ok && std::wstring(c.zip).rfind(L"bad_", 0) == 0 &&
            std::wstring(c.zip) != L"bad_crc.zip" && std::wstring(c.zip) != L"bad_short.zip") {
            // Refused before anything was written, and nothing escaped.
            EXPECT_FALSE(Exists(out / L"ok.txt")) << c.zip;
            EXPECT_FALSE(Exists(ScratchFolder::ProgramFolder() + L"\\evil.txt")) << c.zip;
        }
    }
}

TEST(ArchiveExtraction, HostileArchivesAreRefusedBeforeAnythingIsWritten) {
    const ScratchFolder out = ScratchFolder::BesideProgram(L"unzip-hostile");
    // Declared sizes past the bound, and too many entries: refused by either
    // way of unpacking before the first entry is written. An entry inflating
    // past its declared size fails and leaves no file.
    for (const wchar_t* zip : {L"bomb_declared.zip", L"many_entries.zip", L"bomb_lying.zip"}) {
        for (const bool bShellFirst : {true, false}) {
            out.Clear();
            const HRESULT hr = bShellFirst ? ExtractArchive(TestZip(zip), out.Path())
                                           : ExtractArchiveDirectly(TestZip(zip), out.Path());
            EXPECT_TRUE(FAILED(hr)) << zip;
            const bool bLying = std::wstring(zip) == L"bomb_lying.zip";
            EXPECT_EQ(Exists(out / L"ok.txt"), bLying) << zip;
            EXPECT_FALSE(Exists(out / L"f0") || Exists(out / L"big.bin")) << zip;
        }
    }
}

TEST(ArchiveExtraction, ShellOrDirectReadingGivesTheSameFiles) {
    const ScratchFolder out = ScratchFolder::BesideProgram(L"unzip-any");
    ASSERT_EQ(ExtractArchive(TestZip(L"good.zip"), out.Path()), S_OK);
    std::wstring unpacked, original;
    ASSERT_TRUE(ComputeFileMd5(out / L"setup.exe", unpacked));
    const ScratchFolder direct = ScratchFolder::BesideProgram(L"unzip-direct");
    ASSERT_EQ(ExtractArchiveDirectly(TestZip(L"stored.zip"), direct.Path()), S_OK);
    ASSERT_TRUE(ComputeFileMd5(direct / L"setup.exe", original));
    EXPECT_EQ(unpacked, original);
    EXPECT_TRUE(Exists(out / L"data\\readme.txt"));
}
