#include "ResponseBody.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(NetResponseBody, KeepsBytesInOrderWithoutMovingThem) {
    std::string strExpected;
    for (size_t i = 0; i < 3 * 1024 * 1024 + 123; ++i)
        strExpected += static_cast<char>(i * 7 + i / 8192);

    ResponseBody grown;
    const char* pFirstBlock = nullptr;
    for (size_t nDone = 0; nDone < strExpected.size(); nDone += 8192) {
        const size_t nChunk = std::min<size_t>(8192, strExpected.size() - nDone);
        ASSERT_TRUE(grown.Append(strExpected.data() + nDone, nChunk));
        if (!pFirstBlock)
            pFirstBlock = grown.Block(0).data();
    }
    EXPECT_EQ(grown.Block(0).data(), pFirstBlock) << "a filled block was moved";
    EXPECT_EQ(grown.Size(), strExpected.size());
    size_t nOverhead = 0;
    for (size_t i = 0; i < grown.BlockCount(); ++i) {
        EXPECT_LE(grown.Block(i).capacity(), ResponseBody::kLargestBlock + 64);
        nOverhead += grown.Block(i).capacity() - grown.Block(i).size();
    }
    EXPECT_LE(nOverhead, ResponseBody::kLargestBlock);
    std::string strCopy;
    ASSERT_TRUE(grown.CopyTo(strCopy));
    EXPECT_TRUE(strCopy == strExpected);
}

} // namespace
