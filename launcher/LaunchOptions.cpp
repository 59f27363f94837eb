#include "LaunchOptions.h"

#include "CvComn_Handle.h"
#include "Util_String.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace {

void CollectOptions(ParsedCommandLine& parsed, const std::wstring& wstrArgument) {
    if (wstrArgument == L"-s") {
        ++parsed.nSilentMarkers;
        return;
    }
    std::vector<std::wstring> pieces;
    Util::Split(pieces, wstrArgument, L"=", false);
    if (pieces.size() == 2)
        parsed.options[pieces[0]] = pieces[1];
}

} // namespace

ParsedCommandLine ParseCommandLine(const std::wstring& wstrCommandLine) {
    ParsedCommandLine parsed;
    std::wstring wstrLower = wstrCommandLine;
    Util::ToLower(wstrLower);

    int nCount = 0;
    const CvCommon::Handle::UniqueLocalMemory<LPWSTR*> argv(
        ::CommandLineToArgvW(wstrLower.c_str(), &nCount));
    if (!argv)
        return parsed;
    parsed.bSplit = true;
    // The first argument counts too, although the platform takes it for the
    // program's name.
    for (int i = 0; i < nCount; ++i)
        CollectOptions(parsed, argv.get()[i]);
    return parsed;
}
