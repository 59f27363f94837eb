#include "CvComn_Kernel32.h"

#include "CvComn_Library.h"

namespace CvCommon {
namespace Kernel32 {

std::atomic<WORD> s_wArchitecture{kArchitectureUnknown};

bool Is64BitOperatingSystem() {
    if (s_wArchitecture.load(std::memory_order_relaxed) == kArchitectureUnknown) {
        Library::Base kernel32;
        if (!kernel32.Load(L"kernel32.dll", false))
            return false;
        void(WINAPI * pfnGetNativeSystemInfo)(LPSYSTEM_INFO) = nullptr;
        if (!kernel32.GetProcAddress(pfnGetNativeSystemInfo, "GetNativeSystemInfo"))
            return false;
        SYSTEM_INFO info{};
        pfnGetNativeSystemInfo(&info);
        s_wArchitecture.store(info.wProcessorArchitecture, std::memory_order_relaxed);
        kernel32.Unload();
    }
    return s_wArchitecture.load(std::memory_order_relaxed) == PROCESSOR_ARCHITECTURE_AMD64;
}

} // namespace Kernel32
} // namespace CvCommon
