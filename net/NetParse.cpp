#include "NetParse.h"

#include "CvComn_FileName.h"
#include "Util_StringParse.h"

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

} // namespace

namespace NetParse {

bool IsDeviceName(const std::wstring& wstrName) {
    return CvCommon::FileName::IsDeviceName(wstrName);
}

// The words between nStart and nEnd, split at blanks.
std::vector<std::wstring> BlankSeparatedWords(const std::wstring& wstrText, size_t nStart,
                                              size_t nEnd) {
    std::vector<std::wstring> vecWords;
    size_t n = nStart;
    while (n < nEnd) {
        while (n < nEnd && IsBlank(wstrText[n]))
            ++n;
        const size_t nWordStart = n;
        while (n < nEnd && !IsBlank(wstrText[n]))
            ++n;
        if (n > nWordStart)
            vecWords.push_back(wstrText.substr(nWordStart, n - nWordStart));
    }
    return vecWords;
}

// One proxy entry: "host", "host:port", "[v6]:port", each optionally with
// "http://" before and a path after. False when it names no host or its port
// is out of range; the output is written only on success.
bool ParseProxyEntry(std::wstring wstrEntry, NetParse::ProxyCandidate& out) {
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
    out.bDirect = false;
    out.wstrHost = wstrName;
    out.nPort = static_cast<int>(lPort);
    return true;
}

} // namespace NetParse

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
        parts.wstrObject = EscapeRequestPath(wstrRest.substr(nSlash));
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
        wstrName = SanitizeFileName(DecodePercentUtf8(UrlFileName(wstrUrl)));
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

bool DecodeUtf8(const std::string& strBytes, std::wstring& wstrOut) {
    std::wstring wstrText;
    size_t i = 0;
    while (i < strBytes.size()) {
        const unsigned char chLead = static_cast<unsigned char>(strBytes[i]);
        uint32_t dwCode = 0;
        size_t nMore = 0;
        uint32_t dwMin = 0;
        if (chLead < 0x80) {
            dwCode = chLead;
        } else if (chLead >= 0xC2 && chLead <= 0xDF) {
            dwCode = chLead & 0x1F;
            nMore = 1;
            dwMin = 0x80;
        } else if (chLead >= 0xE0 && chLead <= 0xEF) {
            dwCode = chLead & 0x0F;
            nMore = 2;
            dwMin = 0x800;
        } else if (chLead >= 0xF0 && chLead <= 0xF4) {
            dwCode = chLead & 0x07;
            nMore = 3;
            dwMin = 0x10000;
        } else {
            return false;
        }
        if (strBytes.size() - i - 1 < nMore)
            return false;
        for (size_t k = 1; k <= nMore; ++k) {
            const unsigned char ch = static_cast<unsigned char>(strBytes[i + k]);
            if ((ch & 0xC0) != 0x80)
                return false;
            dwCode = (dwCode << 6) | (ch & 0x3F);
        }
        if (dwCode < dwMin || dwCode > 0x10FFFF || (dwCode >= 0xD800 && dwCode <= 0xDFFF))
            return false;
        if (dwCode >= 0x10000) {
            dwCode -= 0x10000;
            wstrText += static_cast<wchar_t>(0xD800 + (dwCode >> 10));
            wstrText += static_cast<wchar_t>(0xDC00 + (dwCode & 0x3FF));
        } else {
            wstrText += static_cast<wchar_t>(dwCode);
        }
        i += nMore + 1;
    }
    wstrOut.swap(wstrText);
    return true;
}

std::wstring DecodePercentUtf8(const std::wstring& wstrText) {
    if (wstrText.find(L'%') == std::wstring::npos)
        return wstrText;
    std::string strBytes;
    for (size_t i = 0; i < wstrText.size(); ++i) {
        const wchar_t ch = wstrText[i];
        if (ch == L'%') {
            const int nHigh = i + 2 < wstrText.size() ? Util::HexDigitValue(wstrText[i + 1]) : -1;
            const int nLow = nHigh >= 0 ? Util::HexDigitValue(wstrText[i + 2]) : -1;
            if (nLow < 0)
                return wstrText;
            strBytes += static_cast<char>(nHigh * 16 + nLow);
            i += 2;
        } else if (ch < 0x80) {
            strBytes += static_cast<char>(ch);
        } else {
            // Already decoded text mixed with escapes: keep it as it is.
            return wstrText;
        }
    }
    std::wstring wstrOut;
    if (!DecodeUtf8(strBytes, wstrOut))
        return wstrText;
    return wstrOut;
}

std::wstring EscapeRequestPath(const std::wstring& wstrPath) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring wstrOut;
    auto escape = [&wstrOut](uint32_t dwByte) {
        wstrOut += L'%';
        wstrOut += kHex[(dwByte >> 4) & 0xF];
        wstrOut += kHex[dwByte & 0xF];
    };
    for (size_t i = 0; i < wstrPath.size(); ++i) {
        uint32_t dwCode = static_cast<uint32_t>(wstrPath[i]) & 0xFFFF;
        if (dwCode > 0x20 && dwCode < 0x7F) {
            wstrOut += wstrPath[i];
            continue;
        }
        if (dwCode >= 0xD800 && dwCode <= 0xDBFF && i + 1 < wstrPath.size() &&
            (static_cast<uint32_t>(wstrPath[i + 1]) & 0xFFFF) >= 0xDC00 &&
            (static_cast<uint32_t>(wstrPath[i + 1]) & 0xFFFF) <= 0xDFFF) {
            dwCode = 0x10000 + ((dwCode - 0xD800) << 10) +
                     ((static_cast<uint32_t>(wstrPath[i + 1]) & 0xFFFF) - 0xDC00);
            ++i;
        } else if (dwCode >= 0xD800 && dwCode <= 0xDFFF) {
            dwCode = 0xFFFD;
        }
        if (dwCode < 0x80) {
            escape(dwCode);
        } else if (dwCode < 0x800) {
            escape(0xC0 | (dwCode >> 6));
            escape(0x80 | (dwCode & 0x3F));
        } else if (dwCode < 0x10000) {
            escape(0xE0 | (dwCode >> 12));
            escape(0x80 | ((dwCode >> 6) & 0x3F));
            escape(0x80 | (dwCode & 0x3F));
        } else {
            escape(0xF0 | (dwCode >> 18));
            escape(0x80 | ((dwCode >> 12) & 0x3F));
            escape(0x80 | ((dwCode >> 6) & 0x3F));
            escape(0x80 | (dwCode & 0x3F));
        }
    }
    return wstrOut;
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

bool operator==(const ProxyCandidate& a, const ProxyCandidate& b) {
    if (a.bDirect || b.bDirect)
        return a.bDirect == b.bDirect;
    return a.nPort == b.nPort && AsciiLower(a.wstrHost) == AsciiLower(b.wstrHost);
}

std::wstring CandidateName(const ProxyCandidate& candidate) {
    if (candidate.bDirect)
        return L"DIRECT";
    return candidate.wstrHost + L":" + std::to_wstring(candidate.nPort);
}

std::vector<ProxyCandidate> ParseProxyList(const std::wstring& wstrText) {
    std::vector<ProxyCandidate> vecOut;
    auto add = [&vecOut](const ProxyCandidate& candidate) {
        for (const ProxyCandidate& known : vecOut) {
            if (known == candidate)
                return;
        }
        vecOut.push_back(candidate);
    };
    ProxyCandidate candidate;
    size_t nStart = 0;
    while (nStart <= wstrText.size()) {
        size_t nEnd = wstrText.find(L';', nStart);
        if (nEnd == std::wstring::npos)
            nEnd = wstrText.size();
        const std::vector<std::wstring> vecWords = BlankSeparatedWords(wstrText, nStart, nEnd);
        nStart = nEnd + 1;
        for (size_t i = 0; i < vecWords.size(); ++i) {
            const std::wstring wstrWord = AsciiLower(vecWords[i]);
            if (wstrWord == L"direct") {
                candidate = ProxyCandidate();
                candidate.bDirect = true;
                add(candidate);
            } else if (wstrWord == L"proxy" || wstrWord == L"http") {
                // A proxy script's "PROXY host:port": the next word names it.
                if (++i < vecWords.size() && ParseProxyEntry(vecWords[i], candidate))
                    add(candidate);
            } else if (wstrWord == L"https" || wstrWord == L"socks" || wstrWord == L"socks4" ||
                       wstrWord == L"socks5") {
                ++i; // a kind of proxy this client does not speak
            } else if (wstrWord.find(L'=') != std::wstring::npos) {
                // Per-scheme list: only the proxy for http requests counts.
                if (wstrWord.compare(0, 5, L"http=") == 0 &&
                    ParseProxyEntry(vecWords[i].substr(5), candidate))
                    add(candidate);
            } else if (ParseProxyEntry(vecWords[i], candidate)) {
                add(candidate);
            }
        }
    }
    return vecOut;
}

bool ParseProxyText(const std::wstring& wstrText, std::wstring& wstrHost, int& nPort) {
    const std::vector<ProxyCandidate> vecCandidates = ParseProxyList(wstrText);
    if (vecCandidates.empty() || vecCandidates.front().bDirect)
        return false;
    wstrHost = vecCandidates.front().wstrHost;
    nPort = vecCandidates.front().nPort;
    return true;
}

uint32_t ProgressPercent(uint64_t ullReceived, uint32_t dwContentLength) {
    if (dwContentLength == 0)
        return 0;
    // Checked first: the product below must not wrap for huge counts.
    if (ullReceived >= dwContentLength)
        return 100;
    return static_cast<uint32_t>(ullReceived * 100 / dwContentLength);
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
