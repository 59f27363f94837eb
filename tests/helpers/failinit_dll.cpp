// A library whose initialisation fails on purpose, for the load retry tests.
// Every process attach adds one to the environment variable
// CVTEST_FAILINIT_ATTEMPTS. The attach fails while that count is at most
// CVTEST_FAILINIT_FAILURES; without that variable it always fails.
#include <windows.h>

#include <cwchar>

namespace {

DWORD ReadNumber(const wchar_t* pszName, DWORD dwDefault) {
    wchar_t szValue[16] = {};
    const DWORD dwLength = ::GetEnvironmentVariableW(pszName, szValue, 16);
    if (dwLength == 0 || dwLength >= 16)
        return dwDefault;
    return std::wcstoul(szValue, nullptr, 10);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    const DWORD dwAttempts = ReadNumber(L"CVTEST_FAILINIT_ATTEMPTS", 0) + 1;
    wchar_t szValue[16] = {};
    _ultow_s(dwAttempts, szValue, 16, 10);
    ::SetEnvironmentVariableW(L"CVTEST_FAILINIT_ATTEMPTS", szValue);
    return dwAttempts > ReadNumber(L"CVTEST_FAILINIT_FAILURES", MAXDWORD) ? TRUE : FALSE;
}
