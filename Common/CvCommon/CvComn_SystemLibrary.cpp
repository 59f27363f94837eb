#include "CvComn_SystemLibrary.h"

#include <cwchar>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace CvCommon {
namespace SystemLibrary {

namespace {

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

FARPROC Kernel32Procedure(const char* pszName) {
    // kernel32 is mapped into every process; no load happens here.
    HMODULE hKernel32 = ::GetModuleHandleW(L"kernel32.dll");
    return hKernel32 ? ::GetProcAddress(hKernel32, pszName) : nullptr;
}

// LOAD_LIBRARY_SEARCH_* flags are understood wherever SetDefaultDllDirectories
// exists (Windows 8, and Windows 7 with KB2533623).
bool HasSearchFlags() {
    return Kernel32Procedure("SetDefaultDllDirectories") != nullptr;
}

} // namespace

bool RestrictDllSearch() {
    const auto pfnSet = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void (*)()>(Kernel32Procedure("SetDefaultDllDirectories")));
    if (pfnSet && pfnSet(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return true;
    ::SetDllDirectoryW(L"");
    return false;
}

HMODULE Load(const wchar_t* pszName) {
    if (!pszName || !*pszName || std::wcspbrk(pszName, L"\\/:")) {
        ::SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    if (HasSearchFlags())
        return ::LoadLibraryExW(pszName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    wchar_t szPath[MAX_PATH];
    const UINT cchSystem = ::GetSystemDirectoryW(szPath, MAX_PATH);
    const size_t cchName = std::wcslen(pszName);
    if (cchSystem == 0 || cchSystem + 1 + cchName >= MAX_PATH) {
        ::SetLastError(ERROR_BUFFER_OVERFLOW);
        return nullptr;
    }
    szPath[cchSystem] = L'\\';
    std::wmemcpy(szPath + cchSystem + 1, pszName, cchName + 1);
    return ::LoadLibraryExW(szPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE Load(const char* pszName) {
    wchar_t szName[MAX_PATH];
    if (!pszName || ::MultiByteToWideChar(CP_ACP, 0, pszName, -1, szName, MAX_PATH) == 0) {
        ::SetLastError(ERROR_BAD_ARGUMENTS);
        return nullptr;
    }
    return Load(szName);
}

} // namespace SystemLibrary
} // namespace CvCommon
