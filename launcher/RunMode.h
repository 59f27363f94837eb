#pragma once

#include <cwchar>

// Silent mode is chosen by the two characters "-s" anywhere in the raw
// command line, case-sensitive and without splitting it into arguments.
inline bool IsSilentCommandLine(const wchar_t* pszCmdLine) {
    return pszCmdLine != nullptr && std::wcsstr(pszCmdLine, L"-s") != nullptr;
}
