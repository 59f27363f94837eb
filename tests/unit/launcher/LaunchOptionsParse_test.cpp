#include "LaunchOptions.h"

#include <gtest/gtest.h>

#include <string>

TEST(ParseCommandLine, OptionsAreLowerCasedPairsAndSilentMarkersAreCounted) {
    const struct {
        const wchar_t* cmdLine;
        OptionMap options;
        int silent;
    } cases[] = {
        {L"-funid=ABC -VID=X1", {{L"-funid", L"abc"}, {L"-vid", L"x1"}}, 0},
        {L"-s -S -sp=1", {{L"-sp", L"1"}}, 2},
        // One piece, three pieces: ignored; an empty middle piece is dropped.
        {L"-vid= -funid=a=b a==b", {{L"a", L"b"}}, 0},
        // The later value wins; quoted blanks stay inside the value.
        {L"-funid=1 \"-funid = two words \"", {{L"-funid", L"two words"}}, 0},
        {L"", {}, 0},
        {L"=x -s=", {}, 0},
    };
    for (const auto& c : cases) {
        const ParsedCommandLine parsed = ParseCommandLine(c.cmdLine);
        EXPECT_TRUE(parsed.bSplit) << c.cmdLine;
        EXPECT_EQ(parsed.options, c.options) << c.cmdLine;
        EXPECT_EQ(parsed.nSilentMarkers, c.silent) << c.cmdLine;
    }
}
