#include "Util_System.h"
#include "CvComn_Kernel32.h"

namespace Util {

bool Is64BitOperatingSystem() {
    return CvCommon::Kernel32::Is64BitOperatingSystem();
}

const wchar_t* PlatformName(bool b64BitOperatingSystem) {
    return b64BitOperatingSystem ? L"x64" : L"win32";
}

bool GetLocaleName(std::wstring& wstrOut, LCID lcid) {
    wstrOut = L"en-us";
    wchar_t szName[9] = {};
    if (::GetLocaleInfoW(lcid, LOCALE_SISO639LANGNAME, szName, ARRAYSIZE(szName)) == 0)
        return false;
    wstrOut = szName;
    wstrOut += L'-';
    szName[0] = L'\0';
    if (::GetLocaleInfoW(lcid, LOCALE_SISO3166CTRYNAME, szName, ARRAYSIZE(szName)) == 0)
        return false;
    wstrOut += szName;
    return true;
}

} // namespace Util
