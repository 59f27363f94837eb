// Where a sidecar's text holds the package's digest.

#include "FileDigest.h"

#include "launcher/package_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using testsupport::ScratchFolder;
using namespace packagetest;

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
