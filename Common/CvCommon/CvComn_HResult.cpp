#include "CvComn_HResult.h"

#include "CvComn_BoundedFormat.h"

namespace CvCommon {
namespace Error {

void FormatHResultLine(wchar_t* pszOut, std::size_t cchOut, const wchar_t* pszWhat, HRESULT hr) {
    String::FormatTruncated(pszOut, cchOut, L"%ls failed, hr=0x%08X", pszWhat ? pszWhat : L"call",
                            static_cast<unsigned>(hr));
}

bool CheckHResult(HRESULT hr, const wchar_t* pszWhat) {
    if (SUCCEEDED(hr))
        return true;
    wchar_t szLine[String::kDebugLineChars];
    FormatHResultLine(szLine, ARRAYSIZE(szLine), pszWhat, hr);
    ::OutputDebugStringW(szLine);
    return false;
}

} // namespace Error
} // namespace CvCommon
