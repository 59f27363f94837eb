#include "LaunchOptionsParse.h"

#include "Util_StringParse.h"

#include <vector>

void CollectOption(ParsedCommandLine& parsed, const std::wstring& wstrArgument) {
    if (wstrArgument == L"-s") {
        ++parsed.nSilentMarkers;
        return;
    }
    std::vector<std::wstring> pieces;
    Util::Split(pieces, wstrArgument, L"=", false);
    if (pieces.size() == 2)
        parsed.options[pieces[0]] = pieces[1];
}
