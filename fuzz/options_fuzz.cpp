// The command line's arguments (already split by the platform; here at each
// U+0000) as the launcher takes options and silent markers out of them.

#include "FuzzInput.h"
#include "LaunchOptionsParse.h"

namespace {

bool HasOuterBlank(const std::wstring& wstr) {
    return !wstr.empty() && (wstr.front() == L' ' || wstr.back() == L' ');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring wstrText = FuzzInput::Wide(data, size);
    const std::vector<std::wstring> arguments = FuzzInput::Pieces(wstrText, L'\0', 64);
    ParsedCommandLine parsed;
    OptionMap model;
    int nMarkers = 0;
    for (const std::wstring& wstrArgument : arguments) {
        CollectOption(parsed, wstrArgument);
        if (wstrArgument == L"-s") {
            ++nMarkers;
            continue;
        }
        // A simple model: the argument's "="-separated pieces, trimmed, the
        // empty ones dropped; exactly two make an option, the later wins.
        std::vector<std::wstring> pieces;
        for (std::wstring wstrPiece :
             FuzzInput::Pieces(wstrArgument, L'=', wstrArgument.size() + 1)) {
            wstrPiece.erase(0, wstrPiece.find_first_not_of(L' '));
            wstrPiece.erase(wstrPiece.find_last_not_of(L' ') + 1);
            if (!wstrPiece.empty())
                pieces.push_back(wstrPiece);
        }
        if (pieces.size() == 2)
            model[pieces[0]] = pieces[1];
    }
    FUZZ_CHECK(parsed.options == model);
    FUZZ_CHECK(parsed.nSilentMarkers == nMarkers);
    FUZZ_CHECK(parsed.options.size() <= arguments.size());
    for (const auto& option : parsed.options) {
        FUZZ_CHECK(!option.first.empty() && !option.second.empty());
        FUZZ_CHECK(option.first.find(L'=') == std::wstring::npos);
        FUZZ_CHECK(option.second.find(L'=') == std::wstring::npos);
        FUZZ_CHECK(!HasOuterBlank(option.first) && !HasOuterBlank(option.second));
        FUZZ_CHECK(wstrText.find(option.first) != std::wstring::npos);
    }
    return 0;
}
