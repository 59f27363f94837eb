// The package folders: where they lie, the build folder replaced whole, and
// folders others could change made anew.

#include "FileDigest.h"
#include "LaunchWorkflow.h"
#include "PackageFolders.h"
#include "PackageRegistry.h"

#include "CvComn_AccessControl.h"
#include "CvComn_Handle.h"

#include "launcher/package_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <aclapi.h>

#include <string>

using testsupport::ScratchFolder;
using namespace packagetest;

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
        CvCommon::Handle::UniqueFindHandle hFind(::FindFirstFileW(pattern.c_str(), &found));
        if (!hFind)
            return false;
        bool bLeftover = false;
        do
            bLeftover = bLeftover || std::wstring(found.cFileName) != L"Build";
        while (::FindNextFileW(hFind.get(), &found));
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
    UnpackedBuild unpacked;
    Downloaded(workflow, L"good.zip");
    ASSERT_EQ(workflow.PrepareLaunchFile(unpacked), Result::kSuccess);
    unpacked.Keep();
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
        EXPECT_EQ(workflow.PrepareLaunchFile(unpacked), Result::kUnzipFailed);
        // The build folder is as it was; nothing half-unpacked is left.
        EXPECT_EQ(Md5(launch), good);
        EXPECT_TRUE(Exists(workflow.BuildDir() + L"\\stale.txt"));
        EXPECT_FALSE(AnyLeftover(workflow));
    }

    Downloaded(workflow, L"good.zip");
    ASSERT_EQ(workflow.PrepareLaunchFile(unpacked), Result::kSuccess);
    unpacked.Keep();
    EXPECT_EQ(Md5(launch), good);
    EXPECT_FALSE(Exists(workflow.BuildDir() + L"\\stale.txt"));
    EXPECT_FALSE(AnyLeftover(workflow));
}

TEST_F(PackageFolders, AnUnpackedBuildNotKeptGivesTheVerifiedOneBack) {
    LauncherConfig config(m_config);
    LaunchWorkflow workflow(config);
    const std::wstring launch = workflow.BuildDir() + L"\\setup.exe";
    const std::wstring other = workflow.BuildDir() + L"\\d\u00e9j\u00e0.txt";
    {
        UnpackedBuild unpacked;
        Downloaded(workflow, L"good.zip");
        ASSERT_EQ(workflow.PrepareLaunchFile(unpacked), Result::kSuccess);
        unpacked.Keep();
    }
    const std::wstring good = Md5(launch);
    ASSERT_NE(good, L"(none)");
    WriteBytes(workflow.BuildDir() + L"\\kept.txt", "verified");

    // Unpacked but never kept (its setup failed the check, or the run
    // stopped): the folder it replaced comes back whole.
    for (int nPending : {1, 2}) {
        SCOPED_TRACE(nPending);
        {
            UnpackedBuild unpacked;
            for (int i = 0; i < nPending; ++i) {
                Downloaded(workflow, L"utf8.zip");
                ASSERT_EQ(workflow.PrepareLaunchFile(unpacked), Result::kSuccess);
            }
            EXPECT_TRUE(Exists(other));
            EXPECT_FALSE(Exists(launch));
        }
        EXPECT_EQ(Md5(launch), good);
        EXPECT_TRUE(Exists(workflow.BuildDir() + L"\\kept.txt"));
        EXPECT_FALSE(Exists(other));
        EXPECT_FALSE(AnyLeftover(workflow));
    }
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
        UnpackedBuild unpacked;
        EXPECT_EQ(workflow.PrepareLaunchFile(unpacked), Result::kSuccess);
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
    CvCommon::Handle::UniqueFindHandle hFind(
        ::FindFirstFileW((m_scratch / L"*.untrusted-*").c_str(), &found));
    EXPECT_FALSE(hFind);
}
