#include "CvComn_FileName.h"

namespace CvCommon {
namespace FileName {

bool IsDeviceName(const std::wstring& wstrName) {
    std::wstring wstrStem = wstrName.substr(0, wstrName.find(L'.'));
    // Windows ignores blanks before the extension.
    while (!wstrStem.empty() && (wstrStem.back() == L' ' || wstrStem.back() == L'\t'))
        wstrStem.pop_back();
    for (wchar_t& ch : wstrStem)
        if (ch >= L'A' && ch <= L'Z')
            ch = static_cast<wchar_t>(ch + (L'a' - L'A'));
    static const wchar_t* const kNames[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
    for (const wchar_t* pszName : kNames)
        if (wstrStem == pszName)
            return true;
    if (wstrStem.size() != 4 ||
        (wstrStem.compare(0, 3, L"com") != 0 && wstrStem.compare(0, 3, L"lpt") != 0))
        return false;
    // Windows reads the superscript digits 1, 2 and 3 as digits here too.
    const wchar_t chDigit = wstrStem[3];
    return (chDigit >= L'1' && chDigit <= L'9') || chDigit == 0xB9 || chDigit == 0xB2 ||
           chDigit == 0xB3;
}

} // namespace FileName
} // namespace CvCommon
