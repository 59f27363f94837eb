#include "Util_String.h"

#include "CvComn_TextConversion.h"

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string.h>

namespace Util {

bool WideToMultiByte(const std::wstring& wstrIn, std::string& strOut, UINT uCodePage,
                     DWORD* pdwError) {
    return CvCommon::String::ConvertText(uCodePage, wstrIn.c_str(), wstrIn.size(), strOut,
                                         pdwError);
}

bool MultiByteToWide(const std::string& strIn, std::wstring& wstrOut, UINT uCodePage,
                     DWORD* pdwError) {
    return CvCommon::String::ConvertText(uCodePage, strIn.c_str(), strIn.size(), wstrOut, pdwError);
}

bool ToLower(std::wstring& wstr) {
    try {
        std::vector<wchar_t> vecCopy(wstr.begin(), wstr.end());
        vecCopy.push_back(L'\0');
        if (_wcslwr_s(vecCopy.data(), vecCopy.size()) != 0)
            return false;
        wstr.assign(vecCopy.data(), vecCopy.size() - 1);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace Util
