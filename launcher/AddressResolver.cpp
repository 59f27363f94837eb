#include "AddressResolver.h"

#include "CvComn_BoundedFormat.h"
#include "LauncherConfig.h"
#include "LauncherDeployment.h"

#include "NetRequest.h"
#include "Util_String.h"
#include "Util_System.h"

#include <windows.h>

std::wstring LocaleNameOrDefault(LANGID langId) {
    std::wstring wstrLocale;
    if (!Util::GetLocaleName(wstrLocale, langId)) {
        ::OutputDebugStringW(L"Use default locale name: en-US.");
        wstrLocale = L"en-US";
    }
    return wstrLocale;
}

LaunchParameters CollectLaunchParameters(const LauncherConfig& config, const OptionMap& options) {
    LaunchParameters params;
    params.locale = LocaleNameOrDefault(::GetUserDefaultUILanguage());
    params.os = Util::GetPlatformName();

    params.target = config.GetValue(L"ER", L"target");
    params.pid = config.GetValue(L"ER", L"pId");
    params.sp = config.GetValue(L"ER", L"sp");
    params.funId = config.GetValue(L"ER", L"funId");

    const auto funId = options.find(L"-funid");
    if (funId != options.end())
        params.funId = funId->second;
    const auto vid = options.find(L"-vid");
    if (vid != options.end())
        params.vid = vid->second;
    return params;
}

std::wstring ResolveDownloadAddress(const OptionMap& options, const TransferLimits& limits) {
    const LaunchParameters params = CollectLaunchParameters(LauncherConfig::Instance(), options);

    const std::wstring wstrUrl = FormatRedirectUrl(LAUNCHER_REDIRECT_HOST, params);
    if (wstrUrl.empty()) {
        ::OutputDebugStringW(L"original url is too long, no request sent");
        return std::wstring();
    }
    CvCommon::String::DebugPrint(L"original url: %ls", wstrUrl.c_str());

    std::string strLocation;
    DWORD dwStatus = 0;
    const ResultCode result =
        SubmitRequest(wstrUrl, std::string(), strLocation, false, &dwStatus,
                      L"Content-Type: application/x-www-form-urlencoded", limits);
    // A service that answers with the package itself (200) needs no body
    // here: one too large to keep still means "download from this address".
    const bool bLargeAnswer =
        result == Result::FromPlatformError(ERROR_FILE_TOO_LARGE) && dwStatus == 200;
    if (Result::Failed(result) && !bLargeAnswer) {
        CvCommon::String::DebugPrint(L"send http request failed with %d", static_cast<int>(result));
        return std::wstring();
    }

    std::wstring wstrAddress;
    if (dwStatus == 200) {
        ::OutputDebugStringW(L"no redirect happened in this request, this is a special case, we "
                             L"will try to download file directly...");
        wstrAddress = wstrUrl;
    } else if (dwStatus == 302) {
        std::wstring wstrLocation;
        Util::MultiByteToWide(strLocation, wstrLocation, CP_UTF8);
        wstrAddress = AddressFromLocation(wstrLocation, LAUNCHER_SUPPORT_ROOT_URL);
    }
    CvCommon::String::DebugPrint(L"redirect url: %ls", wstrAddress.c_str());
    return wstrAddress;
}
