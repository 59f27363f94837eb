// The package's digest: computed in chunks, and the file held while it counts.

#include "FileDigest.h"

#include "launcher/package_files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

using testsupport::ScratchFolder;
using namespace packagetest;

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
