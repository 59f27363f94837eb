// The downloaded sidecar's text, searched for the package's digest: the
// digest matches wherever it stands, and only in lower case.

#include "FuzzInput.h"
#include "SidecarDigest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring wstrDigest;
    for (size_t i = 0; i < 32; ++i)
        wstrDigest += kHex[i < size ? data[i] & 0xF : i & 0xF];
    const size_t nSkip = size < 32 ? size : 32;
    const std::wstring wstrText = FuzzInput::Wide(data + nSkip, size - nSkip);

    FUZZ_CHECK(!SidecarHoldsDigest(wstrText, std::wstring()));
    const bool bHolds = SidecarHoldsDigest(wstrText, wstrDigest);
    // The form "<digest> *<name>" and a digest inside any text both match.
    FUZZ_CHECK(SidecarHoldsDigest(wstrDigest + L" *" + wstrText, wstrDigest));
    FUZZ_CHECK(SidecarHoldsDigest(wstrText + wstrDigest + wstrText, wstrDigest));
    // Cutting the text never makes a match appear.
    if (!bHolds && !wstrText.empty())
        FUZZ_CHECK(!SidecarHoldsDigest(wstrText.substr(wstrText.size() / 2), wstrDigest));
    // Upper-case digits are a different digest.
    std::wstring wstrUpper = wstrDigest;
    for (wchar_t& ch : wstrUpper)
        if (ch >= L'a' && ch <= L'f')
            ch = static_cast<wchar_t>(ch - L'a' + L'A');
    if (wstrUpper != wstrDigest)
        FUZZ_CHECK(!SidecarHoldsDigest(wstrUpper + L" *" + wstrUpper, wstrDigest));
    return 0;
}
