#pragma once
// The redirect service's request and the interpretation of its answer. Pure
// text handling, so that every rule can be tested without a network.

#include "CvComn_String.h"

#include <windows.h>

#include <string>

// The seven values the redirect service receives.
struct LaunchParameters {
    std::wstring target;
    std::wstring os;
    std::wstring sp;
    std::wstring pid;
    std::wstring vid;
    std::wstring funId;
    std::wstring locale;
};

// The longest redirect request URL the launcher sends, in characters.
constexpr size_t kMaxRedirectUrlChars = 259;

// Each value of the request is percent-encoded as UTF-8.
using CvCommon::String::EncodeQueryValue;

// "https://<host>/GREntry/NonPayment?Target=..&Os=..&SP=..&PID=..&FunID=..
// &VID=..&Locale=..", each value percent-encoded; empty when the URL would be
// longer than kMaxRedirectUrlChars.
std::wstring FormatRedirectUrl(const std::wstring& wstrHost, const LaunchParameters& params);

// The download address named by a 302 answer's Location: lower-cased, and
// empty when it leads to the support site (its root URL, or a default.aspx
// page under it).
std::wstring AddressFromLocation(const std::wstring& wstrLocation,
                                 const std::wstring& wstrSupportRootUrl);
