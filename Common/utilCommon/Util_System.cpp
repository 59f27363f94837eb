#include "Util_System.h"
#include "CvComn_SystemLibrary.h"

#include "CvComn_Handle.h"

namespace Util {

bool Is64BitOperatingSystem() {
    using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
    CvCommon::Handle::UniqueModule hKernel32(CvCommon::SystemLibrary::Load(L"kernel32.dll"));
    if (!hKernel32)
        return false;
    const auto pfnGetNativeSystemInfo = reinterpret_cast<GetNativeSystemInfoFn>(
        reinterpret_cast<void*>(::GetProcAddress(hKernel32.get(), "GetNativeSystemInfo")));
    if (!pfnGetNativeSystemInfo)
        return false;
    SYSTEM_INFO info = {};
    pfnGetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
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
