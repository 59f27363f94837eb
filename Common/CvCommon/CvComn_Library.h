#pragma once
// A dynamically loaded library. Results are a bool plus an optional error
// code output: 0, a platform error, or 6 (not loaded), 160 (missing
// argument), 5010 (already loaded).

#include "CvComn_Handle.h"

#include <windows.h>

namespace CvCommon {
namespace Library {

class Base {
public:
    // Attempts LoadLibraryW makes in all when the library's initialisation
    // keeps failing and retrying was asked for, with a pause before each retry.
    static constexpr int kLoadAttempts = 11;
    static constexpr DWORD kRetryPauseMs = 10;

    Base() = default;
    virtual ~Base() = default;

    // LoadLibraryW of a path; a bare file name is a system DLL, loaded from
    // System32 only (SystemLibrary::Load). With bRetry, a failure of the library's initialisation
    // (ERROR_DLL_INIT_FAILED) is retried; any other error ends at once. When
    // every attempt fails the last attempt's error is reported.
    bool Load(const wchar_t* pszName, bool bRetry, DWORD* pdwError = nullptr);
    // FreeLibrary; on failure the library stays loaded.
    bool Unload(DWORD* pdwError = nullptr);

    // The address of an exported procedure. *ppfn receives the looked-up
    // value (null when not found or not loaded). The wide form converts the
    // name to the thread's ANSI code page.
    bool GetProcAddress(FARPROC* ppfn, const char* pszName, DWORD* pdwError = nullptr) const;
    bool GetProcAddress(FARPROC* ppfn, const wchar_t* pszName, DWORD* pdwError = nullptr) const;

    // Typed form: pfn receives the procedure as the caller's function pointer type.
    template <typename Fn, typename Char>
    bool GetProcAddress(Fn*& pfn, const Char* pszName, DWORD* pdwError = nullptr) const {
        FARPROC pfnRaw = nullptr;
        const bool bFound = GetProcAddress(&pfnRaw, pszName, pdwError);
        // The detour through void (*)() keeps GCC's function cast check quiet.
        pfn = reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(pfnRaw));
        return bFound;
    }

    bool IsLoaded() const { return m_hModule.valid(); }

private:
    Handle::UniqueModule m_hModule;
};

} // namespace Library
} // namespace CvCommon
