#include "util_CrashText.h"

namespace CrashText {

const wchar_t* FileNamePart(const wchar_t* pszPath) {
    const wchar_t* pszName = pszPath;
    for (const wchar_t* p = pszPath; *p; ++p) {
        if (*p == L'\\' || *p == L'/')
            pszName = p + 1;
    }
    return pszName;
}

} // namespace CrashText
