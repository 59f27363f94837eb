// The pinned thumbprint list: what it accepts, what makes it malformed, and
// which digests it holds.

#include "PublisherPin.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using PublisherPin::ListState;

const std::wstring kA = L"0123456789abcdef0123456789abcdef0123456789ABCDEF0123456789ABCDEF";
const std::wstring kB(64, L'b');

PublisherPin::Thumbprint Bytes(const std::wstring& wstrHex) {
    const PublisherPin::PinList list = PublisherPin::ParseList(wstrHex);
    EXPECT_EQ(1u, list.thumbprints.size());
    return list.thumbprints.empty() ? PublisherPin::Thumbprint{} : list.thumbprints[0];
}

TEST(PublisherPin, ParsesListsAndRefusesWhatIsNotAThumbprint) {
    struct Case {
        std::wstring wstrText;
        ListState state;
        size_t nPinned;
    };
    const Case cases[] = {
        {L"", ListState::kNone, 0},
        {L" \t\r\n", ListState::kNone, 0},
        {kA, ListState::kPinned, 1},
        {L" " + kA.substr(0, 2) + L" " + kA.substr(2) + L"\t", ListState::kPinned, 1},
        {kA + L";" + kB + L"," + kA + L";", ListState::kPinned, 3},
        {L";; , " + kB, ListState::kPinned, 1},
        {L";", ListState::kMalformed, 0},
        {L" , ;", ListState::kMalformed, 0},
        {kA.substr(1), ListState::kMalformed, 0},
        {kA + L"0", ListState::kMalformed, 0},
        {kA + kA, ListState::kMalformed, 0},
        {kB + L";" + kA.substr(0, 63) + L"g", ListState::kMalformed, 0},
        {kB + L":" + kA, ListState::kMalformed, 0},
        {std::wstring(100000, L'f'), ListState::kMalformed, 0},
    };
    for (const Case& c : cases) {
        const PublisherPin::PinList list = PublisherPin::ParseList(c.wstrText);
        EXPECT_EQ(c.state, list.state) << c.wstrText.substr(0, 200);
        EXPECT_EQ(c.nPinned, list.thumbprints.size()) << c.wstrText.substr(0, 200);
    }
}

TEST(PublisherPin, HoldsExactlyThePinnedDigests) {
    const PublisherPin::Thumbprint a = Bytes(kA);
    EXPECT_EQ(0x01, a[0]);
    EXPECT_EQ(0xAB, a[21]);
    EXPECT_EQ(0xEF, a[31]);
    const std::wstring wstrUpper =
        L"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
    EXPECT_EQ(wstrUpper, PublisherPin::ToHex(a.data(), a.size()));

    const PublisherPin::PinList list = PublisherPin::ParseList(kB + L", " + wstrUpper);
    EXPECT_TRUE(PublisherPin::IsPinned(list, a.data(), a.size()));
    PublisherPin::Thumbprint other = a;
    other[31] ^= 1;
    EXPECT_FALSE(PublisherPin::IsPinned(list, other.data(), other.size()));
    // Only a whole thumbprint counts.
    EXPECT_FALSE(PublisherPin::IsPinned(list, a.data(), a.size() - 1));
    EXPECT_FALSE(PublisherPin::IsPinned(list, nullptr, a.size()));
    // A list that is not pinned holds nothing.
    EXPECT_FALSE(PublisherPin::IsPinned(PublisherPin::ParseList(L""), a.data(), a.size()));
    EXPECT_FALSE(
        PublisherPin::IsPinned(PublisherPin::ParseList(wstrUpper + L";x"), a.data(), a.size()));
}

} // namespace
