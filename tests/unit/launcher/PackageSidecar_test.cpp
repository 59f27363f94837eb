// The sidecar: read whole as UTF-8, and its address and folder.

#include "LaunchWorkflow.h"
#include "LauncherDeployment.h"

#include "launcher/package_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using testsupport::ScratchFolder;
using namespace packagetest;

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
