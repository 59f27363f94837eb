// Dynamic libraries of the shared library (load retries, codes, procedure
// look-ups) and the cached 64-bit system test.
#include "CvComn_Kernel32.h"
#include "CvComn_Library.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <utility>

using CvCommon::Library::Base;

namespace {

const wchar_t kAttempts[] = L"CVTEST_FAILINIT_ATTEMPTS";
const wchar_t kFailures[] = L"CVTEST_FAILINIT_FAILURES";

// A file next to the test program (the build copies the helper library there).
std::wstring BesideProgram(const wchar_t* pszName) {
    wchar_t szPath[MAX_PATH] = {};
    const DWORD dwLength = ::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring wstrPath(szPath, dwLength);
    return wstrPath.substr(0, wstrPath.rfind(L'\\') + 1) + pszName;
}

DWORD AttemptsMade() {
    wchar_t szValue[16] = {};
    return ::GetEnvironmentVariableW(kAttempts, szValue, 16) ? std::wcstoul(szValue, nullptr, 10)
                                                             : 0;
}

DWORD ElapsedMs(LARGE_INTEGER liStart) {
    LARGE_INTEGER liNow, liFrequency;
    ::QueryPerformanceCounter(&liNow);
    ::QueryPerformanceFrequency(&liFrequency);
    return static_cast<DWORD>((liNow.QuadPart - liStart.QuadPart) * 1000 / liFrequency.QuadPart);
}

// The helper library fails its initialisation a given number of times (null:
// always); only that failure is retried, at most ten times.
TEST(LibraryLoad, RetriesFailedInitialisationOnly) {
    const std::wstring wstrDll = BesideProgram(L"cvtest_failinit.dll");
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(wstrDll.c_str()));
    const struct {
        const wchar_t* pszFailures;
        bool bRetry;
        DWORD dwAttempts;
        DWORD dwError;
    } cases[] = {
        {nullptr, true, 11, ERROR_DLL_INIT_FAILED},
        {nullptr, false, 1, ERROR_DLL_INIT_FAILED},
        {L"3", true, 4, ERROR_SUCCESS},
        {L"3", false, 1, ERROR_DLL_INIT_FAILED},
        {L"10", true, 11, ERROR_SUCCESS},
        {L"0", false, 1, ERROR_SUCCESS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "failures " << (c.pszFailures ? c.pszFailures : L"all")
                                        << ", retry " << c.bRetry);
        ::SetEnvironmentVariableW(kAttempts, nullptr);
        ::SetEnvironmentVariableW(kFailures, c.pszFailures);
        {
            Base library;
            DWORD dwError = 99;
            LARGE_INTEGER liStart;
            ::QueryPerformanceCounter(&liStart);
            EXPECT_EQ(c.dwError == ERROR_SUCCESS,
                      library.Load(wstrDll.c_str(), c.bRetry, &dwError));
            const DWORD dwElapsed = ElapsedMs(liStart);
            EXPECT_EQ(c.dwError, dwError);
            EXPECT_EQ(c.dwAttempts, AttemptsMade());
            EXPECT_EQ(c.dwError == ERROR_SUCCESS, library.IsLoaded());
            EXPECT_EQ(library.IsLoaded(), ::GetModuleHandleW(wstrDll.c_str()) != nullptr);
            // Each retry follows a pause of 10 ms. Short sleeps may end early
            // on a coarse system clock, so only half of that is required.
            EXPECT_GE(dwElapsed, (c.dwAttempts - 1) * Base::kRetryPauseMs / 2);
        }
        // The destructor unloads.
        EXPECT_EQ(nullptr, ::GetModuleHandleW(wstrDll.c_str()));
    }
    ::SetEnvironmentVariableW(kFailures, nullptr);

    // Any other error ends the load with that error.
    Base library;
    DWORD dwError = 99;
    EXPECT_FALSE(library.Load(BesideProgram(L"cvtest_missing.dll").c_str(), true, &dwError));
    EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), dwError);
}

// Codes of the refused calls, and the narrow, wide and typed look-ups.
TEST(LibraryLoad, CodesAndProcedureLookups) {
    Base library;
    FARPROC pfn = reinterpret_cast<FARPROC>(1);
    DWORD dwError = 0;
    // The call is made (and dwError written) before the lambda runs.
    auto failsWith = [&](bool bResult) {
        EXPECT_FALSE(bResult);
        return std::exchange(dwError, 0);
    };
    EXPECT_EQ(6u, failsWith(library.GetProcAddress(&pfn, "GetCurrentProcessId", &dwError)));
    EXPECT_EQ(nullptr, pfn);
    EXPECT_EQ(6u, failsWith(library.Unload(&dwError)));
    EXPECT_EQ(160u, failsWith(library.Load(nullptr, false, &dwError)));

    ASSERT_TRUE(library.Load(L"kernel32.dll", true, &dwError));
    EXPECT_EQ(5010u, failsWith(library.Load(L"kernel32.dll", false, &dwError)));
    EXPECT_EQ(160u, failsWith(library.GetProcAddress(nullptr, "GetCurrentProcessId", &dwError)));
    EXPECT_EQ(160u, failsWith(library.GetProcAddress(&pfn, static_cast<char*>(nullptr), &dwError)));
    EXPECT_EQ(160u,
              failsWith(library.GetProcAddress(&pfn, static_cast<wchar_t*>(nullptr), &dwError)));
    pfn = reinterpret_cast<FARPROC>(1);
    EXPECT_EQ(127u, failsWith(library.GetProcAddress(&pfn, "NoSuchExport", &dwError)));
    EXPECT_EQ(nullptr, pfn);
    EXPECT_EQ(127u, failsWith(library.GetProcAddress(&pfn, L"NoSuchExport", &dwError)));

    const FARPROC pfnExpected =
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetCurrentProcessId");
    EXPECT_TRUE(library.GetProcAddress(&pfn, "GetCurrentProcessId", &dwError));
    EXPECT_EQ(pfnExpected, pfn);
    pfn = nullptr;
    EXPECT_TRUE(library.GetProcAddress(&pfn, L"GetCurrentProcessId", &dwError));
    EXPECT_EQ(pfnExpected, pfn);
    DWORD(WINAPI * pfnTyped)() = nullptr;
    ASSERT_TRUE(library.GetProcAddress(pfnTyped, L"GetCurrentProcessId"));
    EXPECT_EQ(::GetCurrentProcessId(), pfnTyped());

    EXPECT_TRUE(library.Unload(&dwError));
    EXPECT_EQ(0u, dwError);
    EXPECT_FALSE(library.IsLoaded());
}

// The expected answer: from the test bed's prefix kind, else from the platform.
bool NativeIs64Bit() {
    const char* pszArch = std::getenv("LAUNCHER_TEST_ARCH");
    if (pszArch && std::string(pszArch) == "win64")
        return true;
    if (pszArch && std::string(pszArch) == "win32")
        return false;
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
}

TEST(Kernel32, Is64BitOperatingSystemQueriesOnceThenUsesTheCache) {
    using namespace CvCommon::Kernel32;
    const bool bExpected = NativeIs64Bit();
    s_wArchitecture = kArchitectureUnknown;
    EXPECT_EQ(bExpected, Is64BitOperatingSystem());
    const WORD wQueried = s_wArchitecture;
    EXPECT_NE(kArchitectureUnknown, wQueried);
    EXPECT_EQ(bExpected, wQueried == PROCESSOR_ARCHITECTURE_AMD64);

    // A cached value is answered without asking again; only AMD64 counts.
    const struct {
        WORD wArchitecture;
        bool bResult;
    } cases[] = {
        {PROCESSOR_ARCHITECTURE_AMD64, true},
        {PROCESSOR_ARCHITECTURE_INTEL, false},
        {PROCESSOR_ARCHITECTURE_IA64, false},
        {12 /* ARM64 */, false},
    };
    for (const auto& c : cases) {
        s_wArchitecture = c.wArchitecture;
        EXPECT_EQ(c.bResult, Is64BitOperatingSystem()) << c.wArchitecture;
        EXPECT_EQ(c.wArchitecture, s_wArchitecture);
    }
    s_wArchitecture = kArchitectureUnknown;
    EXPECT_EQ(bExpected, Is64BitOperatingSystem());
    EXPECT_EQ(wQueried, s_wArchitecture);
}

} // namespace
