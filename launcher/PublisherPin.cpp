#include "PublisherPin.h"

#include "Util_StringParse.h"

#include <algorithm>
#include <utility>

namespace PublisherPin {
namespace {

bool IsBlank(wchar_t ch) {
    return ch == L' ' || ch == L'\t' || ch == L'\r' || ch == L'\n';
}

// One entry, blanks already removed; false unless it is exactly one thumbprint.
bool ParseEntry(const std::wstring& wstrDigits, Thumbprint& thumbprint) {
    if (wstrDigits.size() != 2 * kThumbprintBytes)
        return false;
    for (size_t i = 0; i < kThumbprintBytes; ++i) {
        const int nHigh = Util::HexDigitValue(wstrDigits[2 * i]);
        const int nLow = Util::HexDigitValue(wstrDigits[2 * i + 1]);
        if (nHigh < 0 || nLow < 0)
            return false;
        thumbprint[i] = static_cast<unsigned char>(nHigh << 4 | nLow);
    }
    return true;
}

} // namespace

PinList ParseList(const std::wstring& wstrText) {
    PinList list;
    if (std::all_of(wstrText.begin(), wstrText.end(), IsBlank))
        return list;
    list.state = ListState::kMalformed;
    std::vector<Thumbprint> thumbprints;
    std::wstring wstrEntry;
    // The loop runs once past the end, which closes the last entry.
    for (size_t i = 0; i <= wstrText.size(); ++i) {
        const wchar_t ch = i < wstrText.size() ? wstrText[i] : L';';
        if (IsBlank(ch))
            continue;
        if (ch != L';' && ch != L',') {
            // Longer than any thumbprint already: no need to keep collecting.
            if (wstrEntry.size() > 2 * kThumbprintBytes)
                return list;
            wstrEntry += ch;
            continue;
        }
        if (wstrEntry.empty())
            continue;
        Thumbprint thumbprint = {};
        if (!ParseEntry(wstrEntry, thumbprint))
            return list;
        thumbprints.push_back(thumbprint);
        wstrEntry.clear();
    }
    if (thumbprints.empty())
        return list;
    list.state = ListState::kPinned;
    list.thumbprints = std::move(thumbprints);
    return list;
}

bool IsPinned(const PinList& list, const unsigned char* pbDigest, size_t cbDigest) {
    if (list.state != ListState::kPinned || !pbDigest || cbDigest != kThumbprintBytes)
        return false;
    return std::any_of(list.thumbprints.begin(), list.thumbprints.end(),
                       [pbDigest](const Thumbprint& pinned) {
                           return std::equal(pinned.begin(), pinned.end(), pbDigest);
                       });
}

std::wstring ToHex(const unsigned char* pbBytes, size_t cbBytes) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring wstrHex;
    if (!pbBytes)
        return wstrHex;
    wstrHex.reserve(2 * cbBytes);
    for (size_t i = 0; i < cbBytes; ++i) {
        wstrHex += kDigits[pbBytes[i] >> 4];
        wstrHex += kDigits[pbBytes[i] & 0xF];
    }
    return wstrHex;
}

} // namespace PublisherPin
