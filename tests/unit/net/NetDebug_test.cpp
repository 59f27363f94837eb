#include "NetDebug.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NetDebugText, CutsLongMessagesToTheBuffer) {
    EXPECT_EQ(NetDebug::FormatBounded(8, L"%ls", L"abcdefghij"), L"abcdefg");
    EXPECT_EQ(NetDebug::FormatBounded(8, L"%ls", L"abcdefg"), L"abcdefg");
    EXPECT_EQ(NetDebug::FormatBounded(8, L"%d-%d", 12, 34), L"12-34");
    EXPECT_EQ(NetDebug::FormatBounded(64, L"[%ls]", static_cast<const wchar_t*>(nullptr)),
              L"[(null)]");
    const std::wstring wstrLong(5000, L'x');
    EXPECT_EQ(
        NetDebug::FormatBounded(NetDebug::kMessageBuffer, L"m_wstrServer: %ls", wstrLong.c_str())
            .size(),
        NetDebug::kMessageBuffer - 1);
}

} // namespace
