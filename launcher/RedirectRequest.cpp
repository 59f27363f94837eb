#include "RedirectRequest.h"

#include "CvComn_String.h"
#include "Util_String.h"

std::wstring FormatRedirectUrl(const std::wstring& wstrHost, const LaunchParameters& params) {
    std::wstring wstrUrl =
        L"https://" + wstrHost + L"/GREntry/NonPayment?Target=" + EncodeQueryValue(params.target) +
        L"&Os=" + EncodeQueryValue(params.os) + L"&SP=" + EncodeQueryValue(params.sp) + L"&PID=" +
        EncodeQueryValue(params.pid) + L"&FunID=" + EncodeQueryValue(params.funId) + L"&VID=" +
        EncodeQueryValue(params.vid) + L"&Locale=" + EncodeQueryValue(params.locale);
    // A cut URL would ask the service something else: refuse it instead.
    if (wstrUrl.size() > kMaxRedirectUrlChars)
        return std::wstring();
    return wstrUrl;
}

std::wstring AddressFromLocation(const std::wstring& wstrLocation,
                                 const std::wstring& wstrSupportRootUrl) {
    std::wstring wstrAddress = wstrLocation;
    Util::ToLower(wstrAddress);
    if (!wstrSupportRootUrl.empty()) {
        if (wstrAddress == wstrSupportRootUrl)
            return std::wstring();
        if (wstrAddress.find(wstrSupportRootUrl) != std::wstring::npos &&
            wstrAddress.find(L"default.aspx") != std::wstring::npos)
            return std::wstring();
    }
    return wstrAddress;
}
