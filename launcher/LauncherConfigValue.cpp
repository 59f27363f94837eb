#include "LauncherConfigValue.h"

std::wstring ProfileValueText(const wchar_t* pszBuffer, uint32_t nReturned, uint32_t nCapacity) {
    if (pszBuffer == nullptr || nCapacity == 0)
        return std::wstring();
    return std::wstring(pszBuffer, nReturned < nCapacity ? nReturned : nCapacity - 1);
}
