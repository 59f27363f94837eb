// URLs from the redirect service's Location and from the proxy code: the
// parts SplitUrl gives re-assemble into the URL, and re-splitting a URL built
// from them gives them back.

#include "FuzzInput.h"
#include "NetParse.h"

#include <cwchar>

namespace {

bool SameParts(const NetParse::UrlParts& a, const NetParse::UrlParts& b) {
    return a.bSecure == b.bSecure && a.wstrServer == b.wstrServer && a.ulPort == b.ulPort &&
           a.wstrObject == b.wstrObject;
}

void CheckSplit(const std::wstring& wstrUrl) {
    NetParse::UrlParts parts;
    const bool bSplit = NetParse::SplitUrl(wstrUrl, parts);
    const bool bHttp = wstrUrl.compare(0, 5, L"http:") == 0;
    const bool bHttps = wstrUrl.compare(0, 6, L"https:") == 0;
    FUZZ_CHECK(bSplit == (bHttp || bHttps));
    if (!bSplit)
        return;
    FUZZ_CHECK(parts.bSecure == bHttps);
    FUZZ_CHECK(!parts.wstrObject.empty() && parts.wstrObject[0] == L'/');
    FUZZ_CHECK(parts.wstrServer.find_first_of(L"/:") == std::wstring::npos);

    // What follows the scheme and its three separator characters is the
    // server, an optional ":port" text, then the object ("/" stands in for a
    // missing path), escaped as a request path.
    const size_t nSkip = bHttps ? 8 : 7;
    const std::wstring wstrRest = wstrUrl.size() > nSkip ? wstrUrl.substr(nSkip) : std::wstring();
    FUZZ_CHECK(wstrRest.compare(0, parts.wstrServer.size(), parts.wstrServer) == 0);
    const size_t nSlash = wstrRest.find(L'/');
    if (nSlash == std::wstring::npos)
        FUZZ_CHECK(parts.wstrObject == L"/");
    else
        // The path goes on the wire escaped.
        FUZZ_CHECK(NetParse::EscapeRequestPath(wstrRest.substr(nSlash)) == parts.wstrObject);
    const std::wstring wstrAuthority = wstrRest.substr(0, nSlash);
    if (wstrAuthority.size() == parts.wstrServer.size())
        FUZZ_CHECK(parts.ulPort == (bHttps ? 443UL : 80UL));
    else
        FUZZ_CHECK(wstrAuthority[parts.wstrServer.size()] == L':');

    const std::wstring wstrRebuilt = (bHttps ? L"https://" : L"http://") + parts.wstrServer + L":" +
                                     std::to_wstring(parts.ulPort) + parts.wstrObject;
    NetParse::UrlParts again;
    FUZZ_CHECK(NetParse::SplitUrl(wstrRebuilt, again));
    FUZZ_CHECK(SameParts(parts, again));
}

void CheckScriptHost(const std::string& strUrl) {
    std::string strHost = "untouched";
    if (!NetParse::ScriptHostOfUrl(strUrl, strHost)) {
        FUZZ_CHECK(strHost == "untouched");
        return;
    }
    FUZZ_CHECK(strHost.size() <= NetParse::kMaxScriptHostLength);
    FUZZ_CHECK(strHost.find_first_of("/?#@") == std::string::npos);
    FUZZ_CHECK(strUrl.find(strHost) != std::string::npos);
    // An IPv6 literal keeps its brackets and loses what follows them; any
    // other host loses its port.
    if (!strHost.empty() && strHost[0] == '[') {
        if (strHost.find(']') != std::string::npos)
            FUZZ_CHECK(strHost.back() == ']');
    } else {
        FUZZ_CHECK(strHost.find(':') == std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring wstrUrl = FuzzInput::Wide(data, size);
    CheckSplit(wstrUrl);
    CheckSplit(L"https://" + wstrUrl);

    const std::wstring wstrName = NetParse::UrlFileName(wstrUrl);
    FUZZ_CHECK(wstrName.find_first_of(L"/?") == std::wstring::npos);
    FUZZ_CHECK(wstrName.size() <= wstrUrl.size());

    CheckScriptHost(FuzzInput::Narrow(data, size));
    return 0;
}
