// Saving downloads into a folder and the proxy script's resolver helpers, on
// the platform itself.
#include <winsock2.h>

#include "NetRequest.h"
#include "ProxySettings.h"
#include "scratch_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using testsupport::ScratchFolder;

void WriteText(const std::wstring& wstrPath, const std::string& strText) {
    std::ofstream out(wstrPath.c_str(), std::ios::binary);
    out << strText;
}

std::string ReadText(const std::wstring& wstrPath) {
    std::ifstream in(wstrPath.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ResponseBody MakeBody(const std::string& strText) {
    ResponseBody body;
    body.Append(strText.data(), strText.size());
    return body;
}

TEST(NetSaveFile, TakesTheFirstFreeNameAndLeavesOthersAlone) {
    struct Case {
        std::vector<std::wstring> vecFiles;
        std::vector<std::wstring> vecFolders;
        std::wstring wstrFirst;
        std::wstring wstrSaved;
    };
    const Case cases[] = {
        {{}, {}, L"pkg.exe", L"pkg.exe"},
        {{L"pkg.exe"}, {}, L"pkg.exe", L"pkg(1).exe"},
        {{L"pkg.exe", L"pkg(1).exe"}, {}, L"pkg.exe", L"pkg(2).exe"},
        {{L"pkg.exe", L"pkg(2).exe"}, {}, L"pkg.exe", L"pkg(1).exe"},
        {{}, {L"pkg.exe"}, L"pkg.exe", L"pkg(1).exe"},
        {{L"a.tar.gz"}, {}, L"a.tar.gz", L"a.tar(1).gz"},
        {{L"noext", L"noext(1)"}, {}, L"noext", L"noext(2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wstrSaved);
        ScratchFolder folder;
        for (const std::wstring& wstrName : c.vecFiles)
            WriteText(folder / wstrName, "old " + std::string(wstrName.begin(), wstrName.end()));
        for (const std::wstring& wstrName : c.vecFolders)
            ::CreateDirectoryW((folder / wstrName).c_str(), nullptr);

        std::wstring wstrPath;
        EXPECT_EQ(SaveToNewFile(folder / c.wstrFirst, MakeBody("new body"), wstrPath),
                  Result::kSuccess);
        EXPECT_EQ(wstrPath, folder / c.wstrSaved);
        EXPECT_EQ(ReadText(wstrPath), "new body");
        for (const std::wstring& wstrName : c.vecFiles)
            EXPECT_EQ(ReadText(folder / wstrName),
                      "old " + std::string(wstrName.begin(), wstrName.end()));
        EXPECT_EQ(folder.Names().size(), c.vecFiles.size() + c.vecFolders.size() + 1);
    }
}

TEST(NetSaveFile, WritesLargeBodiesBlockByBlock) {
    ScratchFolder folder;
    std::string strExpected;
    ResponseBody body;
    for (int i = 0; i < 700; ++i) {
        const std::string strChunk(8192, static_cast<char>('A' + i % 26));
        body.Append(strChunk.data(), strChunk.size());
        strExpected += strChunk;
    }
    ASSERT_GT(body.BlockCount(), 2u);
    std::wstring wstrPath;
    ASSERT_EQ(SaveToNewFile(folder / L"big.bin", body, wstrPath), Result::kSuccess);
    EXPECT_TRUE(ReadText(wstrPath) == strExpected);
}

TEST(NetSaveFile, FailuresLeaveNoFileBehind) {
    ScratchFolder folder;
    std::wstring wstrPath;
    DWORD dwError = 0;
    EXPECT_EQ(SaveToNewFile(folder / L"missing\\pkg.exe", MakeBody("x"), wstrPath, &dwError),
              Result::kCannotCreateFile);
    EXPECT_NE(dwError, 0u);
    EXPECT_TRUE(folder.Names().empty());

    // A write that fails reports the platform's error.
    WriteText(folder / L"ro.bin", "");
    HANDLE hReadOnly = ::CreateFileW((folder / L"ro.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(hReadOnly, INVALID_HANDLE_VALUE);
    dwError = 0;
    EXPECT_FALSE(WriteBody(hReadOnly, MakeBody("data"), &dwError));
    EXPECT_EQ(dwError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ::CloseHandle(hReadOnly);
}

class NetResolver : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(::WSAStartup(0x0202, &data), 0);
    }
    void TearDown() override { ::WSACleanup(); }
};

TEST_F(NetResolver, NumericHostNeedsRoomForItsTerminator) {
    char szHost[] = "10.1.2.3";
    char szOut[32] = {};
    DWORD cbOut = 8;
    EXPECT_EQ(ProxySettings::ResolveHostName(szHost, szOut, &cbOut),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(cbOut, 9u);
    EXPECT_EQ(szOut[0], '\0');
    EXPECT_EQ(ProxySettings::ResolveHostName(szHost, nullptr, &cbOut),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    cbOut = 9;
    EXPECT_EQ(ProxySettings::ResolveHostName(szHost, szOut, &cbOut), 0u);
    EXPECT_STREQ(szOut, "10.1.2.3");
}

TEST_F(NetResolver, NamesResolveToIPv4AndUnknownNamesDoNot) {
    char szLocal[] = "localhost";
    char szOut[64] = {};
    DWORD cbOut = sizeof(szOut);
    EXPECT_EQ(ProxySettings::ResolveHostName(szLocal, szOut, &cbOut), 0u);
    EXPECT_STREQ(szOut, "127.0.0.1");
    EXPECT_TRUE(ProxySettings::IsResolvable(szLocal));

    char szUnknown[] = "no-such-host.invalid";
    cbOut = sizeof(szOut);
    EXPECT_EQ(ProxySettings::ResolveHostName(szUnknown, szOut, &cbOut), 12007u);
    EXPECT_FALSE(ProxySettings::IsResolvable(szUnknown));

    cbOut = sizeof(szOut);
    EXPECT_EQ(ProxySettings::GetIPAddress(szOut, &cbOut), 0u);
    EXPECT_NE(::inet_addr(szOut), INADDR_NONE);
}

TEST_F(NetResolver, IsInNetComparesTheMaskedAddress) {
    struct Case {
        const char* pszAddress;
        const char* pszNetwork;
        const char* pszMask;
        BOOL bInNet;
    };
    const Case cases[] = {
        {"10.1.2.3", "10.1.0.0", "255.255.0.0", TRUE},
        {"10.2.2.3", "10.1.0.0", "255.255.0.0", FALSE},
        {"10.1.2.3", "10.1.2.3", "255.255.255.255", TRUE},
        {"192.168.7.9", "192.168.0.0", "255.255.248.0", TRUE},
        {"192.168.8.9", "192.168.0.0", "255.255.248.0", FALSE},
        {"not.an.address", "10.1.0.0", "255.255.0.0", FALSE},
        {"10.1.2.3", "bad", "255.255.0.0", FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszAddress);
        std::string strAddress = c.pszAddress, strNetwork = c.pszNetwork, strMask = c.pszMask;
        EXPECT_EQ(ProxySettings::IsInNet(&strAddress[0], &strNetwork[0], &strMask[0]), c.bInNet);
    }
}

} // namespace
