#pragma once
// A fresh folder for one test, removed with everything below it when the test
// is done. By default it lies under the temporary folder, named after the test
// program, its process and a counter; a name that an earlier run left behind
// is skipped. A test that needs a known place (a folder its configuration
// names relative to the program) asks for one beside the test program, and
// whatever an earlier run left there is removed first.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

class ScratchFolder {
public:
    ScratchFolder() {
        wchar_t szBase[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH + 1, szBase);
        const std::wstring wstrStem =
            std::wstring(szBase) + ProgramName() + L"_" + std::to_wstring(::GetCurrentProcessId());
        static int s_nNext = 0;
        do
            m_wstrPath = wstrStem + L"_" + std::to_wstring(s_nNext++);
        while (!Make() && ::GetLastError() == ERROR_ALREADY_EXISTS);
        Check();
    }
    // The folder wstrName beside the test program, made empty.
    static ScratchFolder BesideProgram(const std::wstring& wstrName) {
        return ScratchFolder(ProgramFolder() + L"\\" + wstrName);
    }
    ~ScratchFolder() { Remove(m_wstrPath); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return m_wstrPath; }
    std::wstring operator/(const std::wstring& wstrName) const {
        return m_wstrPath + L"\\" + wstrName;
    }
    // The names directly inside the folder.
    std::vector<std::wstring> Names() const {
        std::vector<std::wstring> names;
        ForEachChild(m_wstrPath,
                     [&](const WIN32_FIND_DATAW& data) { names.push_back(data.cFileName); });
        return names;
    }
    bool Empty() const { return Names().empty(); }
    // Removes everything inside, keeping the folder itself.
    void Clear() const { RemoveChildren(m_wstrPath); }

    static std::wstring ProgramFolder() {
        const std::wstring wstrProgram = ProgramPath();
        return wstrProgram.substr(0, wstrProgram.find_last_of(L'\\'));
    }

private:
    explicit ScratchFolder(std::wstring wstrPath) : m_wstrPath(std::move(wstrPath)) {
        Remove(m_wstrPath);
        Make();
        Check();
    }
    bool Make() const { return ::CreateDirectoryW(m_wstrPath.c_str(), nullptr) != FALSE; }
    void Check() const {
        if (::GetFileAttributesW(m_wstrPath.c_str()) == INVALID_FILE_ATTRIBUTES)
            ADD_FAILURE() << "cannot make the scratch folder, error " << ::GetLastError();
    }

    static std::wstring ProgramPath() {
        wchar_t szPath[MAX_PATH + 1] = {};
        ::GetModuleFileNameW(nullptr, szPath, MAX_PATH + 1);
        return szPath;
    }
    static std::wstring ProgramName() {
        std::wstring wstrName = ProgramPath();
        wstrName = wstrName.substr(wstrName.find_last_of(L'\\') + 1);
        return wstrName.substr(0, wstrName.rfind(L'.'));
    }

    template <class Visit> static void ForEachChild(const std::wstring& wstrPath, Visit visit) {
        WIN32_FIND_DATAW data;
        HANDLE hFind = ::FindFirstFileW((wstrPath + L"\\*").c_str(), &data);
        if (hFind == INVALID_HANDLE_VALUE)
            return;
        do {
            const std::wstring wstrName = data.cFileName;
            if (wstrName != L"." && wstrName != L"..")
                visit(data);
        } while (::FindNextFileW(hFind, &data));
        ::FindClose(hFind);
    }
    // Read-only entries go too; a directory link is removed, not followed.
    static void RemoveChildren(const std::wstring& wstrPath) {
        ForEachChild(wstrPath, [&](const WIN32_FIND_DATAW& data) {
            const std::wstring wstrChild = wstrPath + L"\\" + data.cFileName;
            ::SetFileAttributesW(wstrChild.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW(wstrChild.c_str());
            else if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                ::RemoveDirectoryW(wstrChild.c_str());
            else
                Remove(wstrChild);
        });
    }
    static void Remove(const std::wstring& wstrPath) {
        RemoveChildren(wstrPath);
        ::RemoveDirectoryW(wstrPath.c_str());
    }

    std::wstring m_wstrPath;
};

} // namespace testsupport
