#include "LauncherConfig.h"
#include "RunMode.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>

namespace {

std::wstring ExeDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring path = buffer;
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring WindowsTempConfig() {
    wchar_t buffer[MAX_PATH] = {};
    ::GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer) + L"\\temp\\" + LauncherConfig::kFileName;
}

void WriteFile(const std::wstring& path, const std::string& text) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << text;
}

// Files written by a test are removed again, whatever the outcome.
struct ScopedFile {
    explicit ScopedFile(std::wstring p, const std::string& text) : path(std::move(p)) {
        WriteFile(path, text);
    }
    ~ScopedFile() { ::DeleteFileW(path.c_str()); }
    std::wstring path;
};

} // namespace

TEST(LauncherConfig, PrefersTheFileNextToTheExecutable) {
    ScopedFile temp(WindowsTempConfig(), "[ER]\r\ntarget=from-temp\r\n");
    EXPECT_EQ(LauncherConfig::LocateFile(), WindowsTempConfig());
    EXPECT_EQ(LauncherConfig(LauncherConfig::LocateFile()).GetValue(L"ER", L"target"),
              L"from-temp");

    ScopedFile local(ExeDirectory() + LauncherConfig::kFileName, "[ER]\r\ntarget=from-exe-dir\r\n");
    EXPECT_EQ(LauncherConfig::LocateFile(), local.path);
    EXPECT_EQ(LauncherConfig(LauncherConfig::LocateFile()).GetValue(L"ER", L"target"),
              L"from-exe-dir");
}

TEST(LauncherConfig, MissingFileSectionOrKeyReadsEmpty) {
    LauncherConfig missing(ExeDirectory() + L"no-such-config.ini");
    EXPECT_EQ(missing.GetValue(L"instance", L"golbalMutexName"), L"");

    ScopedFile file(ExeDirectory() + L"cfg-empty.ini",
                    "[build]\r\ntype=\r\nsetup=setup.exe\r\n[instance]\r\n");
    LauncherConfig config(file.path);
    EXPECT_EQ(config.GetValue(L"build", L"type"), L"");
    EXPECT_EQ(config.GetValue(L"build", L"missing"), L"");
    EXPECT_EQ(config.GetValue(L"nosection", L"setup"), L"");
    EXPECT_EQ(config.GetValue(L"instance", L"golbalMutexName"), L"");
    // Section and key names match without regard to case.
    EXPECT_EQ(config.GetValue(L"BUILD", L"Setup"), L"setup.exe");
}

TEST(LauncherConfig, ReadsTheFileAfreshOnEveryCall) {
    ScopedFile file(ExeDirectory() + L"cfg-reread.ini", "[ER]\r\nfunId=first\r\n");
    LauncherConfig config(file.path);
    EXPECT_EQ(config.GetValue(L"ER", L"funId"), L"first");
    WriteFile(file.path, "[ER]\r\nfunId=second\r\n");
    EXPECT_EQ(config.GetValue(L"ER", L"funId"), L"second");
}

TEST(LauncherConfig, LongValuesAreCutTo1023Characters) {
    const std::string longValue(3000, 'v');
    ScopedFile file(ExeDirectory() + L"cfg-long.ini", "[ER]\r\nsp=" + longValue + "\r\n");
    const std::wstring value = LauncherConfig(file.path).GetValue(L"ER", L"sp");
    EXPECT_EQ(value, std::wstring(1023, L'v'));
}

TEST(RunMode, SilentMarkerIsAPlainCaseSensitiveSubstring) {
    const struct {
        const wchar_t* cmdLine;
        bool silent;
    } cases[] = {
        {L"-s", true},  {L"-funid=abc -s", true},      {L"-sp=1", true}, {L"C:\\my-setup\\x", true},
        {L"-S", false}, {L"-funid=abc -vid=2", false}, {L"", false},     {L"s-", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsSilentCommandLine(c.cmdLine), c.silent) << c.cmdLine;
    EXPECT_FALSE(IsSilentCommandLine(nullptr));
}
