// The pinned thumbprint list: what it reads, what makes it malformed, and
// which digests it holds.

#include "PublisherPin.h"

#include <gtest/gtest.h>

namespace {

using PublisherPin::ListState;
using PublisherPin::ParseList;

const std::wstring kA = L"0123456789abcdef0123456789abcdef0123456789ABCDEF0123456789ABCDEF";
const std::wstring kB(64, L'b');

TEST(PublisherPin, ReadsListsAndRefusesWhatIsNotAThumbprint) {
    const struct {
        std::wstring wstrText;
        ListState state;
        size_t nPinned;
    } cases[] = {
        {L"", ListState::kNone, 0},
        {L" \t\r\n", ListState::kNone, 0},
        {L" " + kA.substr(0, 2) + L" " + kA.substr(2) + L"\t", ListState::kPinned, 1},
        {kA + L";" + kB + L"," + kA + L";", ListState::kPinned, 3},
        {L";; , " + kB, ListState::kPinned, 1},
        {L" , ;", ListState::kMalformed, 0},
        {kA.substr(1), ListState::kMalformed, 0},
        {kA + L"0", ListState::kMalformed, 0},
        {kB + L";" + kA.substr(0, 63) + L"g", ListState::kMalformed, 0},
        {kB + L":" + kA, ListState::kMalformed, 0},
        {std::wstring(100000, L'f'), ListState::kMalformed, 0},
    };
    for (const auto& c : cases) {
        const PublisherPin::PinList list = ParseList(c.wstrText);
        EXPECT_EQ(c.state, list.state) << c.wstrText.substr(0, 200);
        EXPECT_EQ(c.nPinned, list.thumbprints.size()) << c.wstrText.substr(0, 200);
    }
}

TEST(PublisherPin, HoldsExactlyThePinnedDigests) {
    const PublisherPin::PinList list = ParseList(kB + L", " + kA);
    ASSERT_EQ(2u, list.thumbprints.size());
    PublisherPin::Thumbprint a = list.thumbprints[1];
    EXPECT_EQ(L"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF",
              PublisherPin::ToHex(a.data(), a.size()));
    EXPECT_TRUE(PublisherPin::IsPinned(list, a.data(), a.size()));
    // Only a whole thumbprint of a readable list counts.
    EXPECT_FALSE(PublisherPin::IsPinned(list, a.data(), a.size() - 1));
    EXPECT_FALSE(PublisherPin::IsPinned(list, nullptr, a.size()));
    EXPECT_FALSE(PublisherPin::IsPinned(ParseList(kA + L";x"), a.data(), a.size()));
    a[31] ^= 1;
    EXPECT_FALSE(PublisherPin::IsPinned(list, a.data(), a.size()));
}

} // namespace
