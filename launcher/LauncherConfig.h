#pragma once
// Read access to the launcher's INI file, shipped next to the executable.

#include <string>

class LauncherConfig {
public:
    static constexpr const wchar_t* kFileName = L"CorvaneLauncherConfig.ini";

    // The process-wide accessor; the first call locates the file.
    static LauncherConfig& Instance();

    // The value of key in section, read from the file on every call; empty
    // when the file, the section or the key is missing.
    std::wstring GetValue(const std::wstring& section, const std::wstring& key) const;

    const std::wstring& Path() const { return m_wstrPath; }

    // The file next to the executable if it exists, otherwise the one in the
    // Windows folder's "temp" subfolder (which need not exist).
    static std::wstring LocateFile();

    explicit LauncherConfig(std::wstring wstrPath) : m_wstrPath(std::move(wstrPath)) {}

private:
    std::wstring m_wstrPath;
};
