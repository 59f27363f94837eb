// Inputs the fuzz targets (fuzz/) found faults with, kept as ordinary cases.

#include "ArchiveEntryName.h"
#include "NetParse.h"

#include <gtest/gtest.h>

namespace {

TEST(FuzzRegressions, SuperscriptAndConsoleDeviceNamesAreNeverCreated) {
    // Windows counts the superscript digits 1, 2 and 3 in COM# and LPT#.
    const struct {
        const wchar_t* name;
        const wchar_t* sanitized;
    } cases[] = {
        {L"COM\u00b2", L"_COM\u00b2"},
        {L"lpt\u00b9.exe", L"_lpt\u00b9.exe"},
        {L"Com\u00b3 .zip", L"_Com\u00b3 .zip"},
        {L"CONIN$", L"_CONIN$"},
        {L"conout$.txt", L"_conout$.txt"},
        {L"COM\u2074.exe", L"COM\u2074.exe"}, // not a digit to Windows
        {L"COM0.exe", L"COM0.exe"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(NetParse::SanitizeFileName(c.name), c.sanitized) << c.name;
        const bool bDevice = c.sanitized[0] == L'_';
        EXPECT_EQ(SafeArchiveEntryPath(std::wstring(L"sub/") + c.name).empty(), bDevice) << c.name;
    }
    EXPECT_EQ(
        NetParse::DownloadFileName(L"attachment; filename=\"LPT\u00b3\"", L"http://h/x", L"exe"),
        L"_LPT\u00b3.exe");
    // Blanks before the extension do not hide a device in a zip entry either.
    EXPECT_EQ(SafeArchiveEntryPath(L"sub/con .txt"), L"");
}

TEST(FuzzRegressions, ProgressOfHugeCountsDoesNotWrap) {
    EXPECT_EQ(NetParse::ProgressPercent(0x4000000000003030ULL, 0x30303030U), 100U);
    EXPECT_EQ(NetParse::ProgressPercent(UINT64_MAX, 1U), 100U);
    EXPECT_EQ(NetParse::ProgressPercent(0xFFFFFFFEULL, 0xFFFFFFFFU), 99U);
}

} // namespace
