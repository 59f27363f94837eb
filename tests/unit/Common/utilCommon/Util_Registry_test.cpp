#include "Util_Registry.h"
#include "Util_System.h"

#include "CvComn_Handle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwctype>
#include <string>
#include <utility>

namespace {

using CvCommon::Handle::UniqueHKey;

// The prefix the test bed runs this program in: "win32" or "win64".
std::string ExpectedArch() {
    const char* pszArch = std::getenv("LAUNCHER_TEST_ARCH");
    return pszArch ? pszArch : "";
}

std::wstring TestKeyName() {
    return L"Software\\UtilRegistryTests_" + std::to_wstring(::GetCurrentProcessId());
}

void DeleteKey(HKEY hRoot, const std::wstring& wstrKey, REGSAM samView) {
    UniqueHKey hKey;
    if (::RegOpenKeyExW(hRoot, wstrKey.c_str(), 0, KEY_ALL_ACCESS | samView, hKey.put()) ==
        ERROR_SUCCESS) {
        ::RegDeleteTreeW(hKey.get(), nullptr);
        hKey.reset();
        ::RegDeleteKeyExW(hRoot, wstrKey.c_str(), samView, 0);
    }
}

void SetRawValue(HKEY hRoot, const std::wstring& wstrKey, REGSAM samView, const wchar_t* pszName,
                 DWORD dwType, const void* pData, DWORD cbData) {
    UniqueHKey hKey;
    ASSERT_EQ(::RegCreateKeyExW(hRoot, wstrKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | samView,
                                nullptr, hKey.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        ::RegSetValueExW(hKey.get(), pszName, 0, dwType, static_cast<const BYTE*>(pData), cbData),
        ERROR_SUCCESS);
}

// True with the text when the value exists in the given registry view.
bool QueryInView(HKEY hRoot, const std::wstring& wstrKey, REGSAM samView, const wchar_t* pszName,
                 std::wstring& wstrText) {
    UniqueHKey hKey;
    if (::RegOpenKeyExW(hRoot, wstrKey.c_str(), 0, KEY_QUERY_VALUE | samView, hKey.put()) !=
        ERROR_SUCCESS)
        return false;
    wchar_t szText[256] = {};
    DWORD cbText = sizeof(szText) - sizeof(wchar_t);
    if (::RegQueryValueExW(hKey.get(), pszName, nullptr, nullptr, reinterpret_cast<BYTE*>(szText),
                           &cbText) != ERROR_SUCCESS)
        return false;
    wstrText = szText;
    return true;
}

class UtilRegistry : public testing::Test {
protected:
    void SetUp() override { DeleteKey(HKEY_CURRENT_USER, m_wstrKey, 0); }
    void TearDown() override { DeleteKey(HKEY_CURRENT_USER, m_wstrKey, 0); }
    void SetRaw(const wchar_t* pszName, DWORD dwType, const void* pData, DWORD cbData) {
        SetRawValue(HKEY_CURRENT_USER, m_wstrKey, 0, pszName, dwType, pData, cbData);
    }

    const std::wstring m_wstrKey = TestKeyName();
};

TEST_F(UtilRegistry, ReadsOnlyStringValuesUpToTheirEnd) {
    const wchar_t szMulti[] = L"one\0two\0";
    const DWORD dwNumber = 42;
    const wchar_t szUnterminated[] = {L'a', L'b', L'c'};
    const char oddBytes[] = {'a', 0, 'b', 0, 'c', 0, 'd'};
    SetRaw(L"sz", REG_SZ, L"hello world", sizeof(L"hello world"));
    SetRaw(L"expand", REG_EXPAND_SZ, L"%SystemRoot%\\x", sizeof(L"%SystemRoot%\\x"));
    SetRaw(L"multi", REG_MULTI_SZ, szMulti, sizeof(szMulti));
    SetRaw(L"dword", REG_DWORD, &dwNumber, sizeof(dwNumber));
    SetRaw(L"binary", REG_BINARY, L"text", sizeof(L"text"));
    SetRaw(L"unterminated", REG_SZ, szUnterminated, sizeof(szUnterminated));
    SetRaw(L"odd", REG_SZ, oddBytes, sizeof(oddBytes));
    SetRaw(L"empty", REG_SZ, L"", 0);
    SetRaw(L"", REG_SZ, L"default", sizeof(L"default"));

    struct Case {
        const wchar_t* pszName;
        const wchar_t* pszText;
    };
    const Case cases[] = {
        {L"sz", L"hello world"}, {L"expand", L"%SystemRoot%\\x"},
        {L"multi", L"one"},      {L"dword", L""},
        {L"binary", L""},        {L"unterminated", L"abc"},
        {L"odd", L"abc"},        {L"empty", L""},
        {L"", L"default"},       {L"missing", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Util::ReadRegistryString(HKEY_CURRENT_USER, m_wstrKey, c.pszName), c.pszText)
            << "value '" << c.pszName << "'";
    }
    EXPECT_EQ(Util::ReadRegistryString(HKEY_CURRENT_USER, m_wstrKey + L"\\missing", L"sz"), L"");
}

TEST_F(UtilRegistry, WritesTerminatedStringsIntoNewKeys) {
    const std::wstring wstrDeep = m_wstrKey + L"\\new\\deeper";
    const std::wstring wstrLong(20000, L'\u00e9');
    for (const std::wstring& wstrText :
         {std::wstring(L"C:\\Path\\setup.exe"), std::wstring(), wstrLong}) {
        DWORD dwError = 0xDEAD;
        ASSERT_TRUE(Util::WriteRegistryString(HKEY_CURRENT_USER, wstrDeep, L"LocalPath", wstrText,
                                              &dwError));
        EXPECT_EQ(dwError, 0u);

        UniqueHKey hKey;
        ASSERT_EQ(
            ::RegOpenKeyExW(HKEY_CURRENT_USER, wstrDeep.c_str(), 0, KEY_QUERY_VALUE, hKey.put()),
            ERROR_SUCCESS);
        DWORD dwType = 0, cbData = 0;
        ASSERT_EQ(::RegQueryValueExW(hKey.get(), L"LocalPath", nullptr, &dwType, nullptr, &cbData),
                  ERROR_SUCCESS);
        EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(cbData, (wstrText.size() + 1) * sizeof(wchar_t));
        EXPECT_EQ(Util::ReadRegistryString(HKEY_CURRENT_USER, wstrDeep, L"LocalPath"), wstrText);
    }

    DWORD dwError = 0;
    EXPECT_FALSE(
        Util::WriteRegistryString(reinterpret_cast<HKEY>(0x1234), L"x", L"v", L"t", &dwError));
    EXPECT_NE(dwError, 0u);
}

TEST(UtilSystem, KnowsTheOperatingSystemWordSize) {
    const std::string strArch = ExpectedArch();
    ASSERT_TRUE(strArch == "win32" || strArch == "win64")
        << "LAUNCHER_TEST_ARCH must name the prefix this runs in";
    const bool b64 = strArch == "win64";
    EXPECT_EQ(Util::Is64BitOperatingSystem(), b64);
    EXPECT_STREQ(Util::GetPlatformName(), b64 ? L"x64" : L"win32");
    EXPECT_STREQ(Util::PlatformName(true), L"x64");
    EXPECT_STREQ(Util::PlatformName(false), L"win32");
}

// The launcher is 32-bit, but keeps its value in the 64-bit view of
// HKEY_LOCAL_MACHINE\SOFTWARE on a 64-bit system.
TEST(UtilSystem, RegistryFunctionsUseTheNativeView) {
    const std::string strArch = ExpectedArch();
    ASSERT_TRUE(strArch == "win32" || strArch == "win64");
    const std::wstring wstrKey =
        L"SOFTWARE\\UtilRegistryTests_" + std::to_wstring(::GetCurrentProcessId());
    struct Cleanup {
        std::wstring wstrKey;
        explicit Cleanup(std::wstring wstr) : wstrKey(std::move(wstr)) { Clean(); }
        ~Cleanup() { Clean(); }
        void Clean() const {
            DeleteKey(HKEY_LOCAL_MACHINE, wstrKey, KEY_WOW64_64KEY);
            DeleteKey(HKEY_LOCAL_MACHINE, wstrKey, KEY_WOW64_32KEY);
        }
    } cleanup(wstrKey);

    ASSERT_TRUE(Util::WriteRegistryString(HKEY_LOCAL_MACHINE, wstrKey, L"LocalPath", L"native"));
    SetRawValue(HKEY_LOCAL_MACHINE, wstrKey, KEY_WOW64_32KEY, L"Only32", REG_SZ, L"wow",
                sizeof(L"wow"));
    EXPECT_EQ(Util::ReadRegistryString(HKEY_LOCAL_MACHINE, wstrKey, L"LocalPath"), L"native");

    std::wstring wstrText;
    EXPECT_TRUE(QueryInView(HKEY_LOCAL_MACHINE, wstrKey, KEY_WOW64_64KEY, L"LocalPath", wstrText));
    EXPECT_EQ(wstrText, L"native");
    if (strArch == "win64") {
        EXPECT_FALSE(
            QueryInView(HKEY_LOCAL_MACHINE, wstrKey, KEY_WOW64_32KEY, L"LocalPath", wstrText))
            << "the value went to the 32-bit view";
        EXPECT_EQ(Util::ReadRegistryString(HKEY_LOCAL_MACHINE, wstrKey, L"Only32"), L"")
            << "the read used the 32-bit view";
    } else {
        // One registry only: both views are the same.
        EXPECT_TRUE(
            QueryInView(HKEY_LOCAL_MACHINE, wstrKey, KEY_WOW64_32KEY, L"LocalPath", wstrText));
        EXPECT_EQ(Util::ReadRegistryString(HKEY_LOCAL_MACHINE, wstrKey, L"Only32"), L"wow");
    }
}

TEST(UtilSystem, LocaleNameIsLanguageDashCountry) {
    struct Case {
        LCID lcid;
        bool bOk;
        const wchar_t* pszName;
    };
    const Case cases[] = {
        {MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT), true, L"en-US"},
        {MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT), true, L"de-DE"},
        {MAKELCID(MAKELANGID(LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN), SORT_DEFAULT), true,
         L"pt-BR"},
        {0x7FFF1234, false, L"en-us"},
    };
    for (const Case& c : cases) {
        std::wstring wstrName = L"stale";
        EXPECT_EQ(Util::GetLocaleName(wstrName, c.lcid), c.bOk) << std::hex << c.lcid;
        EXPECT_EQ(wstrName, c.pszName) << std::hex << c.lcid;
    }

    // The user's interface language, as the launcher asks for it.
    std::wstring wstrName;
    ASSERT_TRUE(Util::GetLocaleName(wstrName, ::GetUserDefaultUILanguage()));
    const size_t nDash = wstrName.find(L'-');
    ASSERT_NE(nDash, std::wstring::npos) << wstrName;
    for (size_t i = 0; i < wstrName.size(); ++i) {
        if (i == nDash)
            continue;
        EXPECT_TRUE(i < nDash ? std::iswlower(wstrName[i]) : std::iswupper(wstrName[i]))
            << wstrName;
    }
}

} // namespace
