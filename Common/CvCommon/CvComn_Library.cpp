#include "CvComn_Library.h"
#include "CvComn_SystemLibrary.h"

#include "CvComn_Error.h"
#include "CvComn_TextConversion.h"

#include <cwchar>
#include <string>

namespace CvCommon {
namespace Library {

namespace {

using CvCommon::Error::SetError;

// A bare file name is a system DLL and comes from System32 only; a path is
// loaded as given.
HMODULE LoadByName(const wchar_t* pszName) {
    return std::wcspbrk(pszName, L"\\/:") ? ::LoadLibraryW(pszName) : SystemLibrary::Load(pszName);
}

} // namespace

bool Base::Load(const wchar_t* pszName, bool bRetry, DWORD* pdwError) {
    if (!pszName) {
        SetError(pdwError, ERROR_BAD_ARGUMENTS);
        return false;
    }
    if (IsLoaded()) {
        SetError(pdwError, ERROR_OBJECT_ALREADY_EXISTS);
        return false;
    }
    HMODULE hModule = LoadByName(pszName);
    DWORD dwError = hModule ? ERROR_SUCCESS : ::GetLastError();
    for (int nAttempt = 1;
         !hModule && bRetry && dwError == ERROR_DLL_INIT_FAILED && nAttempt < kLoadAttempts;
         ++nAttempt) {
        ::Sleep(kRetryPauseMs);
        hModule = LoadByName(pszName);
        dwError = hModule ? ERROR_SUCCESS : ::GetLastError();
    }
    SetError(pdwError, dwError);
    if (!hModule)
        return false;
    m_hModule.reset(hModule);
    return true;
}

bool Base::Unload(DWORD* pdwError) {
    if (!IsLoaded()) {
        SetError(pdwError, ERROR_INVALID_HANDLE);
        return false;
    }
    if (!::FreeLibrary(m_hModule.get())) {
        SetError(pdwError, ::GetLastError());
        return false;
    }
    m_hModule.release();
    SetError(pdwError, ERROR_SUCCESS);
    return true;
}

bool Base::GetProcAddress(FARPROC* ppfn, const char* pszName, DWORD* pdwError) const {
    if (ppfn)
        *ppfn = nullptr;
    if (!ppfn || !pszName) {
        SetError(pdwError, ERROR_BAD_ARGUMENTS);
        return false;
    }
    if (!IsLoaded()) {
        SetError(pdwError, ERROR_INVALID_HANDLE);
        return false;
    }
    *ppfn = ::GetProcAddress(m_hModule.get(), pszName);
    if (!*ppfn) {
        SetError(pdwError, ::GetLastError());
        return false;
    }
    SetError(pdwError, ERROR_SUCCESS);
    return true;
}

bool Base::GetProcAddress(FARPROC* ppfn, const wchar_t* pszName, DWORD* pdwError) const {
    // The narrow form checks the arguments; a missing name stays missing.
    std::string strName;
    if (pszName &&
        !String::ConvertText(CP_THREAD_ACP, pszName, std::char_traits<wchar_t>::length(pszName),
                             strName, pdwError)) {
        if (ppfn)
            *ppfn = nullptr;
        return false;
    }
    return GetProcAddress(ppfn, pszName ? strName.c_str() : nullptr, pdwError);
}

} // namespace Library
} // namespace CvCommon
