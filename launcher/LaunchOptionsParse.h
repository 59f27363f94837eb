#pragma once
// Taking options out of the command line's arguments once the platform has
// split it: pure text work, free of platform calls.

#include "LaunchOptions.h"

#include <string>

// Counts an argument equal to "-s" as a silent marker, and takes an argument
// of exactly two non-empty "="-separated pieces (each trimmed of blanks) as an
// option; a later value replaces an earlier one. Anything else is ignored.
void CollectOption(ParsedCommandLine& parsed, const std::wstring& wstrArgument);
