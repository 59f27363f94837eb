#pragma once
// A fresh folder under the temporary folder for one test, removed with its
// files when the test is done.
#include <windows.h>

#include <string>
#include <vector>

namespace nettest {

class TempFolder {
public:
    TempFolder() {
        wchar_t szBase[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, szBase);
        m_wstrPath = std::wstring(szBase) + L"nettest_" + std::to_wstring(::GetCurrentProcessId()) +
                     L"_" + std::to_wstring(NextNumber());
        ::CreateDirectoryW(m_wstrPath.c_str(), nullptr);
    }
    ~TempFolder() {
        for (const std::wstring& wstrName : Names())
            ::DeleteFileW((m_wstrPath + L"\\" + wstrName).c_str());
        ::RemoveDirectoryW(m_wstrPath.c_str());
    }
    const std::wstring& Path() const { return m_wstrPath; }
    std::vector<std::wstring> Names() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE hFind = ::FindFirstFileW((m_wstrPath + L"\\*").c_str(), &data);
        if (hFind == INVALID_HANDLE_VALUE)
            return names;
        do {
            const std::wstring wstrName = data.cFileName;
            if (wstrName != L"." && wstrName != L"..")
                names.push_back(wstrName);
        } while (::FindNextFileW(hFind, &data));
        ::FindClose(hFind);
        return names;
    }
    bool Empty() const { return Names().empty(); }

private:
    static int NextNumber() {
        static int s_nNext = 0;
        return s_nNext++;
    }
    std::wstring m_wstrPath;
};

} // namespace nettest
