#include "NetParse.h"

#include "Util_String.h"

#include <cwchar>

namespace {

wchar_t AsciiLower(wchar_t ch) {
    return (ch >= L'A' && ch <= L'Z') ? ch + (L'a' - L'A') : ch;
}

std::wstring AsciiLower(const std::wstring& wstr) {
    std::wstring wstrOut(wstr);
    for (wchar_t& ch : wstrOut)
        ch = AsciiLower(ch);
    return wstrOut;
}

bool IsBlank(wchar_t ch) {
    return ch == L' ' || ch == L'\t';
}

bool IsRefusedInFileName(wchar_t ch) {
    return ch < 0x20 || std::wcschr(L"<>:\"/\\|?*", ch) != nullptr;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices whatever extension
// follows, and Windows ignores blanks before the extension.
bool IsDeviceName(const std::wstring& wstrName) {
    std::wstring wstrStem = AsciiLower(wstrName.substr(0, wstrName.find(L'.')));
    while (!wstrStem.empty() && IsBlank(wstrStem.back()))
        wstrStem.pop_back();
    if (wstrStem == L"con" || wstrStem == L"prn" || wstrStem == L"aux" || wstrStem == L"nul")
        return true;
    return wstrStem.size() == 4 &&
           (wstrStem.compare(0, 3, L"com") == 0 || wstrStem.compare(0, 3, L"lpt") == 0) &&
           wstrStem[3] >= L'1' && wstrStem[3] <= L'9';
}

} // namespace

namespace NetParse {

bool SplitUrl(const std::wstring& wstrUrl, UrlParts& parts) {
    const size_t nColon = wstrUrl.find(L':');
    if (nColon == std::wstring::npos)
        return false;
    const std::wstring wstrScheme = wstrUrl.substr(0, nColon);
    size_t nSkip = 0;
    if (wstrScheme == L"http") {
        parts.bSecure = false;
        nSkip = 7;
    } else if (wstrScheme == L"https") {
        parts.bSecure = true;
        nSkip = 8;
    } else {
        return false;
    }
    // The three characters after the scheme are taken to be "://".
    const std::wstring wstrRest = wstrUrl.size() > nSkip ? wstrUrl.substr(nSkip) : std::wstring();

    std::wstring wstrAuthority;
    const size_t nSlash = wstrRest.find(L'/');
    if (nSlash == std::wstring::npos) {
        wstrAuthority = wstrRest;
        parts.wstrObject = L"/";
    } else {
        wstrAuthority = wstrRest.substr(0, nSlash);
        parts.wstrObject = wstrRest.substr(nSlash);
    }

    const size_t nPortColon = wstrAuthority.find(L':');
    if (nPortColon == std::wstring::npos) {
        parts.wstrServer = wstrAuthority;
        parts.ulPort = parts.bSecure ? 443 : 80;
    } else {
        parts.wstrServer = wstrAuthority.substr(0, nPortColon);
        unsigned long ulPort = 0;
        // Only the value counts; a text without digits reads as 0.
        Util::StringToULong(ulPort, wstrAuthority.substr(nPortColon + 1), 0);
        parts.ulPort = ulPort;
    }
    return true;
}

bool DispositionFileName(const std::wstring& wstrDisposition, std::wstring& wstrName) {
    static const wchar_t kParameter[] = L"filename=";
    const size_t nFound = AsciiLower(wstrDisposition).find(kParameter);
    if (nFound == std::wstring::npos)
        return false;
    size_t nStart = nFound + (sizeof(kParameter) / sizeof(kParameter[0]) - 1);
    while (nStart < wstrDisposition.size() && IsBlank(wstrDisposition[nStart]))
        ++nStart;
    if (nStart < wstrDisposition.size() && wstrDisposition[nStart] == L'"') {
        const size_t nClose = wstrDisposition.find(L'"', nStart + 1);
        wstrName = wstrDisposition.substr(
            nStart + 1, nClose == std::wstring::npos ? std::wstring::npos : nClose - nStart - 1);
    } else {
        const size_t nEnd = wstrDisposition.find(L';', nStart);
        wstrName = wstrDisposition.substr(nStart, nEnd == std::wstring::npos ? std::wstring::npos
                                                                             : nEnd - nStart);
        while (!wstrName.empty() && IsBlank(wstrName.back()))
            wstrName.pop_back();
    }
    return true;
}

std::wstring UrlFileName(const std::wstring& wstrUrl) {
    const size_t nSlash = wstrUrl.rfind(L'/');
    if (nSlash == std::wstring::npos)
        return std::wstring();
    std::wstring wstrName = wstrUrl.substr(nSlash + 1);
    const size_t nQuery = wstrName.find(L'?');
    if (nQuery != std::wstring::npos)
        wstrName.erase(nQuery);
    return wstrName;
}

std::wstring SanitizeFileName(const std::wstring& wstrName) {
    const size_t nSeparator = wstrName.find_last_of(L"/\\");
    std::wstring wstrOut =
        nSeparator == std::wstring::npos ? wstrName : wstrName.substr(nSeparator + 1);
    for (wchar_t& ch : wstrOut) {
        if (IsRefusedInFileName(ch))
            ch = L'_';
    }
    while (!wstrOut.empty() && (wstrOut.back() == L'.' || IsBlank(wstrOut.back())))
        wstrOut.pop_back();
    if (!wstrOut.empty() && IsDeviceName(wstrOut))
        wstrOut.insert(wstrOut.begin(), L'_');
    return wstrOut;
}

std::wstring DownloadFileName(const std::wstring& wstrDisposition, const std::wstring& wstrUrl,
                              const std::wstring& wstrDefaultType) {
    std::wstring wstrName;
    std::wstring wstrRaw;
    if (DispositionFileName(wstrDisposition, wstrRaw))
        wstrName = SanitizeFileName(wstrRaw);
    if (wstrName.empty())
        wstrName = SanitizeFileName(UrlFileName(wstrUrl));
    if (wstrName.empty())
        return wstrName;
    if (wstrName.find(L'.') == std::wstring::npos) {
        std::wstring wstrType(wstrDefaultType);
        for (wchar_t& ch : wstrType) {
            if (IsRefusedInFileName(ch))
                ch = L'_';
        }
        wstrName += L'.';
        wstrName += wstrType;
    }
    return wstrName;
}

bool NumberedFileName(const std::wstring& wstrName, unsigned long ulCounter,
                      std::wstring& wstrOut) {
    const size_t nDot = wstrName.rfind(L'.');
    const std::wstring wstrNumber = L"(" + std::to_wstring(ulCounter) + L")";
    std::wstring wstrResult;
    if (nDot == std::wstring::npos)
        wstrResult = wstrName + wstrNumber;
    else
        wstrResult = wstrName.substr(0, nDot) + wstrNumber + wstrName.substr(nDot);
    if (wstrResult.size() > kMaxFileNameLength)
        return false;
    wstrOut.swap(wstrResult);
    return true;
}

bool ParseProxyText(const std::wstring& wstrText, std::wstring& wstrHost, int& nPort) {
    std::wstring wstrEntry;
    const size_t nHttp = wstrText.find(L"http=");
    if (nHttp != std::wstring::npos)
        wstrEntry = wstrText.substr(nHttp + 5);
    else
        wstrEntry = wstrText;
    const size_t nFirst = wstrEntry.find_first_not_of(L" \t");
    wstrEntry.erase(0, nFirst == std::wstring::npos ? wstrEntry.size() : nFirst);
    // A proxy script's answer names its kind first: "PROXY host:port; DIRECT".
    const size_t nWordEnd = wstrEntry.find_first_of(L" \t;");
    const std::wstring wstrWord = AsciiLower(wstrEntry.substr(0, nWordEnd));
    if (wstrWord == L"proxy" || wstrWord == L"http") {
        const size_t nValue = wstrEntry.find_first_not_of(L" \t", nWordEnd);
        wstrEntry.erase(0, nValue == std::wstring::npos ? wstrEntry.size() : nValue);
    } else if (wstrWord == L"direct" || wstrWord == L"https" || wstrWord == L"socks" ||
               wstrWord == L"socks4" || wstrWord == L"socks5") {
        return false;
    }
    const size_t nEnd = wstrEntry.find_first_of(L"; \t");
    if (nEnd != std::wstring::npos)
        wstrEntry.erase(nEnd);
    if (AsciiLower(wstrEntry.substr(0, 7)) == L"http://")
        wstrEntry.erase(0, 7);
    const size_t nPath = wstrEntry.find(L'/');
    if (nPath != std::wstring::npos)
        wstrEntry.erase(nPath);

    std::wstring wstrName;
    std::wstring wstrPortText;
    bool bHasPort = false;
    if (!wstrEntry.empty() && wstrEntry[0] == L'[') {
        const size_t nClose = wstrEntry.find(L']');
        if (nClose == std::wstring::npos)
            return false;
        wstrName = wstrEntry.substr(0, nClose + 1);
        if (nClose + 1 < wstrEntry.size()) {
            if (wstrEntry[nClose + 1] != L':')
                return false;
            bHasPort = true;
            wstrPortText = wstrEntry.substr(nClose + 2);
        }
    } else {
        const size_t nColon = wstrEntry.find(L':');
        wstrName = wstrEntry.substr(0, nColon);
        if (nColon != std::wstring::npos) {
            bHasPort = true;
            wstrPortText = wstrEntry.substr(nColon + 1);
        }
    }
    if (wstrName.empty())
        return false;

    long lPort = 80;
    if (bHasPort && !wstrPortText.empty()) {
        // Leading digits only, as the C runtime reads them; "80x" is 80.
        if (wstrPortText[0] < L'0' || wstrPortText[0] > L'9')
            return false;
        lPort = 0;
        for (size_t i = 0; i < wstrPortText.size() && wstrPortText[i] >= L'0' &&
                           wstrPortText[i] <= L'9' && lPort <= 65535;
             ++i)
            lPort = lPort * 10 + (wstrPortText[i] - L'0');
        if (lPort < 1 || lPort > 65535)
            return false;
    }
    wstrHost = wstrName;
    nPort = static_cast<int>(lPort);
    return true;
}

uint32_t ProgressPercent(uint64_t ullReceived, uint32_t dwContentLength) {
    if (dwContentLength == 0)
        return 0;
    const uint64_t ullPercent = ullReceived * 100 / dwContentLength;
    return ullPercent > 100 ? 100 : static_cast<uint32_t>(ullPercent);
}

bool ParseMilliseconds(const std::wstring& wstrText, uint32_t dwMax, uint32_t& dwOut) {
    if (wstrText.empty())
        return false;
    uint64_t ullValue = 0;
    for (wchar_t ch : wstrText) {
        if (ch < L'0' || ch > L'9')
            return false;
        ullValue = ullValue * 10 + static_cast<uint64_t>(ch - L'0');
        if (ullValue > dwMax)
            return false;
    }
    if (ullValue == 0)
        return false;
    dwOut = static_cast<uint32_t>(ullValue);
    return true;
}

bool ScriptHostOfUrl(const std::string& strUrl, std::string& strHost) {
    const size_t nScheme = strUrl.find("://");
    std::string strAuthority = nScheme == std::string::npos ? strUrl : strUrl.substr(nScheme + 3);
    const size_t nEnd = strAuthority.find_first_of("/?#");
    if (nEnd != std::string::npos)
        strAuthority.erase(nEnd);
    const size_t nAt = strAuthority.rfind('@');
    if (nAt != std::string::npos)
        strAuthority.erase(0, nAt + 1);
    // The port goes; an IPv6 literal keeps its brackets.
    if (!strAuthority.empty() && strAuthority[0] == '[') {
        const size_t nClose = strAuthority.find(']');
        if (nClose != std::string::npos)
            strAuthority.erase(nClose + 1);
    } else {
        const size_t nColon = strAuthority.find(':');
        if (nColon != std::string::npos)
            strAuthority.erase(nColon);
    }
    if (strAuthority.size() > kMaxScriptHostLength)
        return false;
    strHost.swap(strAuthority);
    return true;
}

bool IsDirectAnswer(const std::string& strAnswer) {
    static const char kDirect[] = "direct";
    if (strAnswer.size() < 6)
        return false;
    for (size_t i = 0; i < 6; ++i) {
        char ch = strAnswer[i];
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch + ('a' - 'A'));
        if (ch != kDirect[i])
            return false;
    }
    return true;
}

} // namespace NetParse
