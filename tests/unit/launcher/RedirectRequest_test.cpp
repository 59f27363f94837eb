// The redirect request and the reading of its answer.

#include "AddressResolver.h"
#include "LaunchOptions.h"
#include "RedirectRequest.h"

#include <gtest/gtest.h>

#include <string>

TEST(RedirectRequest, ValuesArePercentEncodedExceptUnreservedCharacters) {
    const struct {
        const wchar_t* value;
        const wchar_t* encoded;
    } cases[] = {
        {L"AZaz09-._~", L"AZaz09-._~"},
        {L"a&b=c#d", L"a%26b%3Dc%23d"},
        {L"50% off", L"50%25%20off"},
        {L"\u00e9\u20ac", L"%C3%A9%E2%82%AC"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EncodeQueryValue(c.value), c.encoded) << c.value;
}

TEST(RedirectRequest, UrlCarriesTheSevenValuesInOrderAndRefusesOverlongText) {
    LaunchParameters params;
    params.target = L"lumenscan";
    params.os = L"win32";
    params.sp = L"2";
    params.pid = L"77";
    params.funId = L"a&b";
    params.vid = L"";
    params.locale = L"en-US";
    EXPECT_EQ(FormatRedirectUrl(L"127.0.0.1:8443", params),
              L"https://127.0.0.1:8443/GREntry/NonPayment?Target=lumenscan&Os=win32&SP=2&PID=77"
              L"&FunID=a%26b&VID=&Locale=en-US");

    // The longest URL that is still sent has 259 characters.
    params.target.clear();
    const size_t nBase = FormatRedirectUrl(L"h", params).size();
    params.target.assign(kMaxRedirectUrlChars - nBase, L't');
    EXPECT_EQ(FormatRedirectUrl(L"h", params).size(), kMaxRedirectUrlChars);
    params.target += L't';
    EXPECT_EQ(FormatRedirectUrl(L"h", params), L"");
    // Encoding counts: three characters for each encoded byte.
    params.target.assign(kMaxRedirectUrlChars - nBase - 2, L't');
    params.target += L'&';
    EXPECT_EQ(FormatRedirectUrl(L"h", params), L"");
}

TEST(RedirectRequest, LocationIsLowerCasedAndSupportSiteAnswersGiveNoAddress) {
    const wchar_t* support = L"http://support.example/";
    const struct {
        const wchar_t* location;
        const wchar_t* address;
    } cases[] = {
        {L"HTTPS://Store.Example/1.1/Setup.EXE", L"https://store.example/1.1/setup.exe"},
        {L"http://support.example/", L""},
        {L"HTTP://SUPPORT.EXAMPLE/", L""},
        {L"http://support.example/x/Default.aspx?id=3", L""},
        {L"http://support.example/download/setup.exe",
         L"http://support.example/download/setup.exe"},
        {L"https://store.example/default.aspx", L"https://store.example/default.aspx"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AddressFromLocation(c.location, support), c.address) << c.location;
}
