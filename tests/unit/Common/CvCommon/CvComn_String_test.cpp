#include "CvComn_BoundedFormat.h"
#include "CvComn_HResult.h"
#include "CvComn_String.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

using namespace CvCommon;

namespace {

// One FormatV attempt with its own argument list, as a caller's loop makes it.
bool Attempt(std::wstring& wstrOut, size_t& nSize, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const bool bDone = String::FormatV(wstrOut, nSize, pszFormat, args);
    va_end(args);
    return bDone;
}

} // namespace

TEST(CvCommonString, ConversionsRoundTrip) {
    struct Case {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"", ""},
        {L"plain ascii", "plain ascii"},
        {L"Gr\u00fc\u00dfe \u20ac", "Gr\xc3\xbc\xc3\x9f"
                                    "e \xe2\x82\xac"},
        {L"\xD83D\xDE00!", "\xf0\x9f\x98\x80!"}, // surrogate pair <-> four bytes
    };
    for (const Case& c : cases) {
        std::string strOut = "stale";
        std::wstring wstrOut = L"stale";
        DWORD dwError = 0xDEAD;
        EXPECT_TRUE(String::WCharToUTF8(c.wide, strOut, &dwError));
        EXPECT_EQ(strOut, c.utf8);
        EXPECT_TRUE(String::UTF8ToWChar(c.utf8, wstrOut, &dwError));
        EXPECT_EQ(wstrOut, c.wide);
        EXPECT_EQ(dwError, 0xDEADu) << "success leaves the error output alone";
    }
}

TEST(CvCommonString, ConversionsStopAtZeroAndReplaceInvalidInput) {
    std::string strOut;
    std::wstring wstrOut;
    EXPECT_TRUE(String::WCharToUTF8(std::wstring(L"ab\0cd", 5), strOut));
    EXPECT_EQ(strOut, "ab");
    EXPECT_TRUE(String::UTF8ToWChar(std::string("ab\0cd", 5), wstrOut));
    EXPECT_EQ(wstrOut, L"ab");

    // Without the strict flags Windows (Vista on) and Wine replace malformed
    // input with U+FFFD and go on; the conversion succeeds.
    EXPECT_TRUE(String::UTF8ToWChar("\xc3(x", wstrOut));
    EXPECT_EQ(wstrOut, L"\xFFFD(x");
    EXPECT_TRUE(String::UTF8ToWChar("a\xff", wstrOut));
    EXPECT_EQ(wstrOut, L"a\xFFFD");
    EXPECT_TRUE(String::WCharToUTF8(L"\xD800x", strOut)); // lone surrogate
    EXPECT_EQ(strOut, "\xef\xbf\xbdx");
}

TEST(CvCommonString, FormatVGrowsFrom256ByDoubling) {
    ASSERT_EQ(String::DefaultFormatSize(), 256u);
    struct Case {
        size_t nLength;
        int nFailedAttempts;
        size_t nFinalSize;
    } cases[] = {{0, 0, 256},     {255, 0, 256},   {256, 1, 512},  {511, 1, 512},
                 {1023, 2, 1024}, {1024, 3, 2048}, {5000, 5, 8192}};
    for (const Case& c : cases) {
        const std::wstring wstrText(c.nLength, L'x');
        std::wstring wstrOut = L"stale";
        size_t nSize = String::DefaultFormatSize();
        int nFailed = 0;
        while (!Attempt(wstrOut, nSize, L"%ls", wstrText.c_str())) {
            ASSERT_NE(nSize, 0u);
            ++nFailed;
            ASSERT_LT(nFailed, 10);
        }
        EXPECT_EQ(nFailed, c.nFailedAttempts) << c.nLength;
        EXPECT_EQ(nSize, c.nFinalSize) << c.nLength;
        EXPECT_EQ(wstrOut, wstrText);
    }
}

TEST(CvCommonString, Format) {
    std::wstring wstrOut = L"stale";
    EXPECT_TRUE(String::Format(wstrOut, L"%d|%s|%hs|%08x|%lu", -7, L"wide", "narrow", 0xBEEFu,
                               4294967295ul));
    EXPECT_EQ(wstrOut, L"-7|wide|narrow|0000beef|4294967295");

    // Later attempts see the arguments again, not what an earlier one consumed.
    const std::wstring wstrLong(3000, L'y');
    EXPECT_TRUE(String::Format(wstrOut, L"<%ls>%d", wstrLong.c_str(), 5));
    EXPECT_EQ(wstrOut, L"<" + wstrLong + L">5");

    wstrOut = L"stale";
    EXPECT_FALSE(String::Format(wstrOut, nullptr));
    EXPECT_TRUE(wstrOut.empty());
}

TEST(CvCommonString, FormatVThrowsCode6WhenTheBufferCannotBeHad) {
    if (sizeof(void*) > 4)
        GTEST_SKIP() << "a 64-bit process can have the buffer";
    std::wstring wstrOut;
    size_t nSize = 0x7FFFFFF0; // 4 GB of wide characters: never there for a 32-bit process
    try {
        Attempt(wstrOut, nSize, L"%d", 1);
        ADD_FAILURE() << "no exception";
    } catch (const String::Exception& exception) {
        EXPECT_EQ(exception.m_nCode, 6);
        EXPECT_NE(exception.m_strFile.find("CvComn_String"), std::string::npos);
        EXPECT_GT(exception.m_nLine, 0);
    }
}

TEST(CvCommonString, SmallHelpers) {
    std::wstring wstr = L"abc-Def1 xyz";
    EXPECT_TRUE(String::ToUpper(wstr));
    EXPECT_EQ(wstr, L"ABC-DEF1 XYZ");

    struct {
        unsigned long ulValue;
        int nRadix;
        const wchar_t* pszExpected; // null: refused, output unchanged
    } numbers[] = {{0, 10, L"0"},
                   {4294967295ul, 10, L"4294967295"},
                   {255, 16, L"ff"},
                   {5, 2, L"101"},
                   {4294967295ul, 2, L"11111111111111111111111111111111"},
                   {35, 36, L"z"},
                   {5, 1, nullptr},
                   {5, 37, nullptr},
                   {5, 0, nullptr}};
    for (const auto& n : numbers) {
        std::wstring wstrOut = L"before";
        EXPECT_EQ(String::ULongToString(n.ulValue, n.nRadix, wstrOut), n.pszExpected != nullptr);
        EXPECT_EQ(wstrOut, n.pszExpected ? n.pszExpected : L"before");
    }

    const wchar_t* paths[][2] = {
        {L"", L""}, {L"C:", L"C:\\"}, {L"C:\\dir\\", L"C:\\dir\\"}, {L"a/", L"a/\\"}};
    for (const auto& p : paths) {
        std::wstring wstrPath = p[0];
        String::AppendBackslash(wstrPath);
        EXPECT_EQ(wstrPath, p[1]);
    }
}

TEST(CvCommonString, BoundedFormattersCutOrRefuseAtTheBuffer) {
    const struct {
        const wchar_t* pszText;
        const wchar_t* pszTruncated; // in a buffer of 8
        bool bWhole;
    } cases[] = {
        {L"abcdefghij", L"abcdefg", false},
        {L"abcdefgh", L"abcdefg", false},
        {L"abcdefg", L"abcdefg", true},
        {L"", L"", true},
    };
    for (const auto& c : cases) {
        wchar_t szOut[9];
        std::fill(std::begin(szOut), std::end(szOut), L'#');
        String::FormatTruncated(szOut, 8, L"%ls", c.pszText);
        EXPECT_STREQ(szOut, c.pszTruncated) << c.pszText;
        EXPECT_EQ(szOut[8], L'#') << "nothing past the buffer";
        EXPECT_EQ(String::FormatWhole(szOut, 8, L"%ls", c.pszText), c.bWhole) << c.pszText;
        EXPECT_STREQ(szOut, c.bWhole ? c.pszText : L"") << c.pszText;
    }
    wchar_t szOut[8] = L"x";
    String::FormatTruncated(szOut, 8, nullptr);
    EXPECT_STREQ(szOut, L"");
    EXPECT_FALSE(String::FormatWhole(szOut, 8, nullptr));
}

TEST(CvCommonError, FailedHResultsAreNamedWithTheirValue) {
    wchar_t szLine[64];
    Error::FormatHResultLine(szLine, ARRAYSIZE(szLine), L"CoInitialize", E_OUTOFMEMORY);
    EXPECT_STREQ(szLine, L"CoInitialize failed, hr=0x8007000E");
    Error::FormatHResultLine(szLine, 12, L"CoInitialize", E_OUTOFMEMORY);
    EXPECT_STREQ(szLine, L"CoInitializ");
    EXPECT_TRUE(Error::CheckHResult(S_OK, L"a"));
    EXPECT_TRUE(Error::CheckHResult(S_FALSE, L"a"));
    EXPECT_FALSE(Error::CheckHResult(RPC_E_CHANGED_MODE, L"a"));
}
