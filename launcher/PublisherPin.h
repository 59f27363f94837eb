#pragma once
// The pinned publishers of the setup: a text list of SHA-256 thumbprints of
// the certificates allowed to sign it. Free of Win32, so that it can be tested
// and fuzzed on any system.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace PublisherPin {

constexpr size_t kThumbprintBytes = 32;
using Thumbprint = std::array<unsigned char, kThumbprintBytes>;

enum class ListState {
    kNone,      // nothing pinned: every launch file passes as before
    kPinned,    // only a signer in the list passes
    kMalformed, // a pin was meant but cannot be read: nothing passes
};

struct PinList {
    ListState state = ListState::kNone;
    std::vector<Thumbprint> thumbprints;
};

// Reads thumbprints of 64 hex digits each, separated by ';' or ','. Letter
// case and white space (also inside a thumbprint) do not count, nor do empty
// entries. A text of white space only pins nothing; any other text without a
// thumbprint, or with one entry that is not 64 hex digits, is malformed.
PinList ParseList(const std::wstring& wstrText);

// True when the list is kPinned and holds the digest.
bool IsPinned(const PinList& list, const unsigned char* pbDigest, size_t cbDigest);

// The bytes as upper-case hex digits, the way Windows shows a thumbprint.
std::wstring ToHex(const unsigned char* pbBytes, size_t cbBytes);

} // namespace PublisherPin
