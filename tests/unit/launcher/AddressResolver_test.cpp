#include "AddressResolver.h"

#include <gtest/gtest.h>

#include <string>

TEST(LaunchParameters, LocaleIsLanguageAndCountryOrElseEnglishUnitedStates) {
    const struct {
        LANGID langId;
        const wchar_t* locale;
    } cases[] = {
        {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), L"en-US"},
        {MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), L"ja-JP"},
        {MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_AUSTRIAN), L"de-AT"},
        // A language the system does not know.
        {MAKELANGID(0x3FF, 0x3F), L"en-US"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LocaleNameOrDefault(c.langId), c.locale) << std::hex << c.langId;
}
