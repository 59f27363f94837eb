#include "Util_Registry.h"

#include "CvComn_Error.h"

#include "Util_System.h"
#include "CvComn_Handle.h"

#include <new>
#include <vector>

namespace {

using CvCommon::Error::SetError;

REGSAM ViewFlag() {
    return Util::Is64BitOperatingSystem() ? KEY_WOW64_64KEY : 0;
}

bool IsStringType(DWORD dwType) {
    return dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
}

} // namespace

namespace Util {

std::wstring ReadRegistryString(HKEY hRoot, const std::wstring& wstrSubKey,
                                const std::wstring& wstrValueName, DWORD* pdwError) {
    CvCommon::Handle::UniqueHKey hKey;
    LSTATUS lStatus =
        ::RegOpenKeyExW(hRoot, wstrSubKey.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(), hKey.put());
    if (lStatus != ERROR_SUCCESS) {
        SetError(pdwError, static_cast<DWORD>(lStatus));
        return std::wstring();
    }

    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    lStatus =
        ::RegQueryValueExW(hKey.get(), wstrValueName.c_str(), nullptr, &dwType, nullptr, &cbData);
    if (lStatus != ERROR_SUCCESS) {
        SetError(pdwError, static_cast<DWORD>(lStatus));
        return std::wstring();
    }
    if (!IsStringType(dwType)) {
        SetError(pdwError, ERROR_UNSUPPORTED_TYPE);
        return std::wstring();
    }

    // Room for the data and one more character, all zeroed: a value stored
    // without a terminator still ends inside the buffer.
    const size_t cchData = cbData / sizeof(wchar_t);
    std::vector<wchar_t> vecBuffer;
    try {
        vecBuffer.assign(cchData + 2, L'\0');
    } catch (const std::bad_alloc&) {
        SetError(pdwError, ERROR_NOT_ENOUGH_MEMORY);
        return std::wstring();
    }
    DWORD dwType2 = REG_NONE;
    DWORD cbData2 = cbData;
    lStatus = ::RegQueryValueExW(hKey.get(), wstrValueName.c_str(), nullptr, &dwType2,
                                 reinterpret_cast<BYTE*>(vecBuffer.data()), &cbData2);
    if (lStatus != ERROR_SUCCESS) {
        SetError(pdwError, static_cast<DWORD>(lStatus));
        return std::wstring();
    }
    if (!IsStringType(dwType2) || cbData2 != cbData) {
        SetError(pdwError, ERROR_INVALID_DATA);
        return std::wstring();
    }

    // Whole characters of the stored data only; an odd last byte is dropped.
    size_t cchText = 0;
    while (cchText < cchData && vecBuffer[cchText] != L'\0')
        ++cchText;
    SetError(pdwError, ERROR_SUCCESS);
    return std::wstring(vecBuffer.data(), cchText);
}

bool WriteRegistryString(HKEY hRoot, const std::wstring& wstrSubKey,
                         const std::wstring& wstrValueName, const std::wstring& wstrText,
                         DWORD* pdwError) {
    if (wstrText.size() >= (MAXDWORD / sizeof(wchar_t)) - 1) {
        SetError(pdwError, ERROR_INVALID_PARAMETER);
        return false;
    }
    CvCommon::Handle::UniqueHKey hKey;
    const REGSAM samDesired = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | ViewFlag();
    LSTATUS lStatus =
        ::RegCreateKeyExW(hRoot, wstrSubKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          samDesired, nullptr, hKey.put(), nullptr);
    if (lStatus != ERROR_SUCCESS) {
        SetError(pdwError, static_cast<DWORD>(lStatus));
        return false;
    }
    const DWORD cbData = static_cast<DWORD>((wstrText.size() + 1) * sizeof(wchar_t));
    lStatus = ::RegSetValueExW(hKey.get(), wstrValueName.c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(wstrText.c_str()), cbData);
    SetError(pdwError, static_cast<DWORD>(lStatus));
    return lStatus == ERROR_SUCCESS;
}

} // namespace Util
