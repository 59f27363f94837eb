#pragma once
// The launcher's command line: options of the form name=value and the silent
// marker "-s".

#include <map>
#include <string>

// Lower-case option names (dash included) to lower-case values.
typedef std::map<std::wstring, std::wstring> OptionMap;

struct ParsedCommandLine {
    bool bSplit = false; // false when the platform could not split the text
    OptionMap options;
    int nSilentMarkers = 0; // arguments equal to "-s" in any letter case
};

// Lower-cases the command line, splits it into arguments the way the platform
// does, and takes every argument of exactly two non-empty "="-separated
// pieces as an option (a later value replaces an earlier one).
ParsedCommandLine ParseCommandLine(const std::wstring& wstrCommandLine);
