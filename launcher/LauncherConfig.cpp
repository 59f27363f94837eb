#include "LauncherConfig.h"

#include "LauncherConfigValue.h"

#include "CvComn_Storage.h"

#include <windows.h>
#include <shlwapi.h>

namespace {

constexpr DWORD kValueBufferChars = 1024;

std::wstring WindowsTempPath() {
    std::wstring path;
    if (!CvCommon::Storage::GetWindowsTempDirectory(path))
        path = L"\\temp";
    return path + L"\\" + LauncherConfig::kFileName;
}

} // namespace

std::wstring LauncherConfig::LocateFile() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        ::PathRemoveFileSpecW(buffer);
        std::wstring path = buffer;
        if (path.empty() || path.back() != L'\\')
            path += L'\\';
        path += kFileName;
        if (CvCommon::Storage::FileExists(path))
            return path;
    }
    // A path cut at MAX_PATH would name some other file: treat it as absent.
    return WindowsTempPath();
}

LauncherConfig& LauncherConfig::Instance() {
    // Constructed on the main thread at start-up, before any other thread of
    // the launcher reads the configuration.
    static LauncherConfig* s_pConfig = [] {
        auto* config = new LauncherConfig(LocateFile());
        ::OutputDebugStringW(config->m_wstrPath.c_str());
        return config;
    }();
    return *s_pConfig;
}

std::wstring LauncherConfig::GetValue(const std::wstring& section, const std::wstring& key) const {
    wchar_t buffer[kValueBufferChars] = {};
    const DWORD length = ::GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer,
                                                    kValueBufferChars, m_wstrPath.c_str());
    return ProfileValueText(buffer, length, kValueBufferChars);
}
