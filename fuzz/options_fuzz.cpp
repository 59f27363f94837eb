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
    int nMarkers = 0;
    for (const std::wstring& wstrArgument : arguments) {
        CollectOption(parsed, wstrArgument);
        if (wstrArgument == L"-s")
            ++nMarkers;
        // The option an argument gives holds from then on, until a later one
        // names the same key.
        const size_t nEqual = wstrArgument.find(L'=');
        if (wstrArgument != L"-s" && nEqual != std::wstring::npos &&
            wstrArgument.find(L'=', nEqual + 1) == std::wstring::npos) {
            std::wstring wstrKey = wstrArgument.substr(0, nEqual);
            std::wstring wstrValue = wstrArgument.substr(nEqual + 1);
            wstrKey.erase(0, wstrKey.find_first_not_of(L' '));
            wstrKey.erase(wstrKey.find_last_not_of(L' ') + 1);
            wstrValue.erase(0, wstrValue.find_first_not_of(L' '));
            wstrValue.erase(wstrValue.find_last_not_of(L' ') + 1);
            if (!wstrKey.empty() && !wstrValue.empty()) {
                const auto found = parsed.options.find(wstrKey);
                FUZZ_CHECK(found != parsed.options.end() && found->second == wstrValue);
            }
        }
    }
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
