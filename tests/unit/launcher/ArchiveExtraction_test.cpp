// Unpacking zip packages: entry names, good and bad archives, hostile ones,
// and the two ways of reading them.

#include "ArchiveExtraction.h"
#include "FileDigest.h"

#include "launcher/package_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include <string>

using testsupport::ScratchFolder;
using namespace packagetest;

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
