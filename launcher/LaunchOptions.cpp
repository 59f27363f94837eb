#include "LaunchOptions.h"

#include "LaunchOptionsParse.h"

#include "CvComn_Handle.h"
#include "Util_String.h"

#include <windows.h>
#include <shellapi.h>

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
        CollectOption(parsed, argv.get()[i]);
    return parsed;
}
