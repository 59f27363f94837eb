#include "Util_String.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(UtilConversion, RoundTripsThroughCodePages) {
    struct Case {
        UINT uCodePage;
        std::wstring wstrText;
        std::string strBytes;
    };
    const Case cases[] = {
        {CP_UTF8, L"", ""},
        {CP_UTF8, L"abc", "abc"},
        {CP_UTF8, L"Gr\u00fc\u00dfe \u20ac",
         "Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac"},
        {CP_UTF8, L"\U0001F600", "\xf0\x9f\x98\x80"},
        {CP_UTF8, std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
        {1252, L"caf\u00e9 \u20ac", "caf\xe9 \x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strBytes.substr(0, 20));
        std::string strOut = "stale";
        EXPECT_TRUE(Util::WideToMultiByte(c.wstrText, strOut, c.uCodePage));
        EXPECT_EQ(strOut, c.strBytes);
        std::wstring wstrOut = L"stale";
        EXPECT_TRUE(Util::MultiByteToWide(c.strBytes, wstrOut, c.uCodePage));
        EXPECT_EQ(wstrOut, c.wstrText);
    }
}

TEST(UtilConversion, UnknownCodePageFailsWithPlatformError) {
    const UINT uBogus = 12345;
    std::string strOut = "stale";
    DWORD dwError = 0;
    EXPECT_FALSE(Util::WideToMultiByte(L"abc", strOut, uBogus, &dwError));
    EXPECT_NE(dwError, 0u);
    EXPECT_TRUE(strOut.empty());

    std::wstring wstrOut = L"stale";
    dwError = 0;
    EXPECT_FALSE(Util::MultiByteToWide("abc", wstrOut, uBogus, &dwError));
    EXPECT_NE(dwError, 0u);
    EXPECT_TRUE(wstrOut.empty());
}

TEST(UtilStringToULong, AcceptsOnlyWholeInRangeNumbers) {
    struct Case {
        const wchar_t* pszText;
        int nRadix;
        bool bOk;
        unsigned long ulValue;
    };
    const Case cases[] = {
        {L"12", 10, true, 12},
        {L"12a", 10, false, 12},
        {L"", 10, false, 0},
        {L"4294967295", 10, true, 4294967295ul},
        {L"4294967296", 10, false, ULONG_MAX},
        {L"ff", 16, true, 255},
        {L"fg", 16, false, 15},
        {L"0x1F", 0, true, 31},
        {L"017", 0, true, 15},
        {L"8080", 0, true, 8080},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "text '" << c.pszText << "' radix " << c.nRadix);
        unsigned long ulOut = 0xDEADBEEF;
        EXPECT_EQ(Util::StringToULong(ulOut, c.pszText, c.nRadix), c.bOk);
        EXPECT_EQ(ulOut, c.ulValue);
    }
}

TEST(UtilTrim, RemovesOnlySpaces) {
    struct Case {
        const wchar_t* pszIn;
        const wchar_t* pszLeft;
        const wchar_t* pszRight;
        const wchar_t* pszBoth;
    };
    const Case cases[] = {
        {L"", L"", L"", L""},
        {L"   ", L"", L"", L""},
        {L"  a b  ", L"a b  ", L"  a b", L"a b"},
        {L" \r\n x \n", L"\r\n x \n", L" \r\n x \n", L"\r\n x \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.pszIn << "'");
        std::wstring wstrLeft = c.pszIn, wstrRight = c.pszIn, wstrBoth = c.pszIn;
        Util::TrimLeft(wstrLeft);
        Util::TrimRight(wstrRight);
        Util::Trim(wstrBoth);
        EXPECT_EQ(wstrLeft, c.pszLeft);
        EXPECT_EQ(wstrRight, c.pszRight);
        EXPECT_EQ(wstrBoth, c.pszBoth);
    }
}

TEST(UtilSplit, CutsAtWholeSeparatorAndTrimsPieces) {
    using Pieces = std::vector<std::wstring>;
    struct Case {
        const wchar_t* pszText;
        const wchar_t* pszSeparator;
        bool bKeepEmpty;
        Pieces expected;
    };
    const Case cases[] = {
        {L"a,,b", L",", false, {L"a", L"b"}},
        {L"a,,b", L",", true, {L"a", L"", L"b"}},
        {L" a , b ", L",", false, {L"a", L"b"}},
        {L"-funid = 12", L"=", false, {L"-funid", L"12"}},
        {L"a::b:c", L"::", false, {L"a", L"b:c"}},
        {L",", L",", true, {L"", L""}},
        {L"", L",", true, {L""}},
        // The blank appended to the text lets a separator ending in a blank
        // match at the very end.
        {L"a; b;", L"; ", true, {L"a", L"b", L""}},
        {L"x y", L"", false, {L"x y"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "'" << c.pszText << "' on '" << c.pszSeparator
                                        << "' keep " << c.bKeepEmpty);
        Pieces pieces{L"earlier"};
        Util::Split(pieces, c.pszText, c.pszSeparator, c.bKeepEmpty);
        Pieces expected{L"earlier"};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(pieces, expected);
    }
}

TEST(UtilToLower, LowerCasesAsciiLetters) {
    std::wstring wstr = L"HTTP://Example.COM/Setup_X64.ZIP";
    EXPECT_TRUE(Util::ToLower(wstr));
    EXPECT_EQ(wstr, L"http://example.com/setup_x64.zip");
}

} // namespace
