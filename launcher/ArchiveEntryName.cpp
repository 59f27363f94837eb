#include "ArchiveEntryName.h"

#include "CvComn_FileName.h"

#include <cwchar>

namespace {

bool IsSafeComponent(const std::wstring& wstrComponent) {
    if (wstrComponent.empty())
        return false;
    for (wchar_t ch : wstrComponent)
        if (ch < 0x20 || std::wcschr(L"<>:\"|?*", ch))
            return false;
    // Windows drops trailing dots and blanks, so "..", ". ." and "... " would
    // all lead upwards or nowhere.
    const wchar_t chLast = wstrComponent.back();
    if (chLast == L'.' || chLast == L' ')
        return false;
    return !CvCommon::FileName::IsDeviceName(wstrComponent);
}

} // namespace

std::wstring SafeArchiveEntryPath(const std::wstring& wstrEntryName) {
    std::wstring wstrPath = wstrEntryName;
    for (wchar_t& ch : wstrPath)
        if (ch == L'/')
            ch = L'\\';
    if (wstrPath.empty() || wstrPath.front() == L'\\')
        return std::wstring();
    // A folder entry ends with a separator.
    const bool bFolder = wstrPath.back() == L'\\';
    const std::wstring wstrBody = bFolder ? wstrPath.substr(0, wstrPath.size() - 1) : wstrPath;
    size_t nStart = 0;
    for (;;) {
        const size_t nEnd = wstrBody.find(L'\\', nStart);
        if (!IsSafeComponent(wstrBody.substr(nStart, nEnd - nStart)))
            return std::wstring();
        if (nEnd == std::wstring::npos)
            break;
        nStart = nEnd + 1;
    }
    return wstrPath;
}
