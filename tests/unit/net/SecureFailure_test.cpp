// Text rules for what a server names: UTF-8 in a Location or a file name, the
// request path that goes out, and the reasons of a refused certificate.
#include "NetParse.h"
#include "SecureFailure.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NetUtf8, EscapesAndNamesDecodeAsUtf8) {
    const struct {
        const wchar_t* pszUrl;
        const wchar_t* pszObject;
        const wchar_t* pszFileName;
    } cases[] = {
        {L"http://h/%E6%97%A5.exe", L"/%E6%97%A5.exe", L"\u65e5.exe"},
        {L"http://h/\u65e5.exe", L"/%E6%97%A5.exe", L"\u65e5.exe"},
        {L"http://h/d/%e6%97%a5.exe?x=%FF", L"/d/%e6%97%a5.exe?x=%FF", L"\u65e5.exe"},
        {L"http://h/a b\U0001F600.exe", L"/a%20b%F0%9F%98%80.exe", L"a b\U0001F600.exe"},
        // Not UTF-8, or a broken escape: the name stays as it was written.
        {L"http://h/%FF.exe", L"/%FF.exe", L"%FF.exe"},
        {L"http://h/%C0%AF.exe", L"/%C0%AF.exe", L"%C0%AF.exe"},
        {L"http://h/a%4.exe", L"/a%4.exe", L"a%4.exe"},
        // An escaped separator cannot lead out of the folder.
        {L"http://h/..%2F..%5Cup.exe", L"/..%2F..%5Cup.exe", L"up.exe"},
        {L"http://h/x%00y.exe", L"/x%00y.exe", L"x_y.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszUrl);
        NetParse::UrlParts parts;
        ASSERT_TRUE(NetParse::SplitUrl(c.pszUrl, parts));
        EXPECT_EQ(parts.wstrObject, c.pszObject);
        EXPECT_EQ(NetParse::DownloadFileName(L"", c.pszUrl, L"exe"), c.pszFileName);
    }
    std::wstring wstrOut = L"untouched";
    EXPECT_FALSE(NetParse::DecodeUtf8("\xED\xA0\x80", wstrOut)); // a surrogate
    EXPECT_FALSE(NetParse::DecodeUtf8("\xE6\x97", wstrOut));     // cut short
    EXPECT_EQ(wstrOut, L"untouched");
}

TEST(NetSecureFailure, NamesEveryFlag) {
    EXPECT_EQ(SecureFailure::Message(0x8),
              L"secure failure, win error 12175, certificate flags 0x8 (INVALID_CA)");
    EXPECT_EQ(SecureFailure::FlagNames(0x80000031),
              L"CERT_REV_FAILED, CERT_CN_INVALID, CERT_DATE_INVALID, SECURITY_CHANNEL_ERROR");
    EXPECT_EQ(SecureFailure::FlagNames(0x4 | 0x2 | 0x40 | 0x300),
              L"INVALID_CERT, CERT_REVOKED, CERT_WRONG_USAGE, 0x300");
    EXPECT_EQ(SecureFailure::FlagNames(0), L"none");
    EXPECT_EQ(SecureFailure::ErrorMessage(12045),
              L"secure failure, win error 12045 (ERROR_WINHTTP_SECURE_INVALID_CA)");
    EXPECT_EQ(SecureFailure::ErrorMessage(12029), L"");
}

} // namespace
