#include "NetParse.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(NetSplitUrl, SplitsSchemeHostPortAndObject) {
    struct Case {
        const wchar_t* pszUrl;
        bool bSecure;
        const wchar_t* pszServer;
        unsigned long ulPort;
        const wchar_t* pszObject;
    };
    const Case cases[] = {
        {L"https://host/x", true, L"host", 443, L"/x"},
        {L"http://host", false, L"host", 80, L"/"},
        {L"http://host:8080/a?b=c", false, L"host", 8080, L"/a?b=c"},
        {L"https://host:0x1F90/", true, L"host", 8080, L"/"},
        {L"http://host:010/", false, L"host", 8, L"/"},
        {L"http://host:abc/", false, L"host", 0, L"/"},
        {L"http://host:/", false, L"host", 0, L"/"},
        {L"http://h/p:1/x?y=/z", false, L"h", 80, L"/p:1/x?y=/z"},
        {L"https://127.0.0.1:8443", true, L"127.0.0.1", 8443, L"/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszUrl);
        NetParse::UrlParts parts;
        ASSERT_TRUE(NetParse::SplitUrl(c.pszUrl, parts));
        EXPECT_EQ(parts.bSecure, c.bSecure);
        EXPECT_EQ(parts.wstrServer, c.pszServer);
        EXPECT_EQ(parts.ulPort, c.ulPort);
        EXPECT_EQ(parts.wstrObject, c.pszObject);
    }
}

TEST(NetSplitUrl, RefusesOtherSchemes) {
    for (const wchar_t* pszUrl :
         {L"HTTP://host/", L"Https://host/", L"ftp://host/", L"host/x", L"", L"httpx://h/"}) {
        SCOPED_TRACE(pszUrl);
        NetParse::UrlParts parts;
        EXPECT_FALSE(NetParse::SplitUrl(pszUrl, parts));
    }
}

TEST(NetFileName, DerivesSafeNamesFromHeaderOrUrl) {
    struct Case {
        const wchar_t* pszDisposition;
        const wchar_t* pszUrl;
        const wchar_t* pszType;
        const wchar_t* pszName;
    };
    const Case cases[] = {
        {L"attachment; filename=\"Setup.exe\"", L"http://h/x.bin", L"exe", L"Setup.exe"},
        {L"attachment; FILENAME=a.exe", L"http://h/x.bin", L"exe", L"a.exe"},
        {L"attachment; filename=\"a.exe\"; size=3", L"http://h/x", L"exe", L"a.exe"},
        {L"attachment; filename=a.exe; size=3", L"http://h/x", L"exe", L"a.exe"},
        {L"attachment; filename=  \"spaced.exe\" ", L"http://h/x", L"exe", L"spaced.exe"},
        {L"attachment; filename=\"unterminated.exe", L"http://h/x", L"exe", L"unterminated.exe"},
        {L"", L"http://h/dir/pkg.exe?x=1", L"exe", L"pkg.exe"},
        {L"inline", L"http://h/dir/Pkg.EXE", L"exe", L"Pkg.EXE"},
        {L"", L"http://h/dir/pkg", L"exe", L"pkg.exe"},
        {L"", L"http://h/dir/pkg", L"", L"pkg."},
        {L"", L"http://h/dir/pkg", L"e/x", L"pkg.e_x"},
        // Folders, drives, parent references and streams never leave the folder.
        {L"attachment; filename=\"..\\..\\Windows\\evil.exe\"", L"http://h/x", L"exe", L"evil.exe"},
        {L"attachment; filename=\"../../evil.exe\"", L"http://h/x", L"exe", L"evil.exe"},
        {L"attachment; filename=\"C:\\evil.exe\"", L"http://h/x", L"exe", L"evil.exe"},
        {L"attachment; filename=\"C:evil.exe\"", L"http://h/x", L"exe", L"C_evil.exe"},
        {L"attachment; filename=\"pkg.exe:stream\"", L"http://h/x", L"exe", L"pkg.exe_stream"},
        {L"attachment; filename=\"a<b>|c?*.exe\"", L"http://h/x", L"exe", L"a_b__c__.exe"},
        {L"attachment; filename=\"tab\there.exe\"", L"http://h/x", L"exe", L"tab_here.exe"},
        {L"attachment; filename=\"dots.exe. . \"", L"http://h/x", L"exe", L"dots.exe"},
        {L"attachment; filename=\"CON.exe\"", L"http://h/x", L"exe", L"_CON.exe"},
        {L"attachment; filename=\"lpt1\"", L"http://h/x", L"exe", L"_lpt1.exe"},
        {L"attachment; filename=\"console.exe\"", L"http://h/x", L"exe", L"console.exe"},
        {L"", L"http://h/a%5C..%5Cb/..\\..\\up.exe", L"exe", L"up.exe"},
        // A header naming nothing usable falls back to the URL.
        {L"attachment; filename=\"..\"", L"http://h/dir/pkg.exe", L"exe", L"pkg.exe"},
        {L"attachment; filename=\"\"", L"http://h/dir/pkg.exe", L"exe", L"pkg.exe"},
        // Nothing usable anywhere.
        {L"", L"http://h/", L"exe", L""},
        {L"", L"http://h/?x=1", L"exe", L""},
        {L"attachment; filename=\"/\"", L"http://h/..", L"exe", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::wstring(c.pszDisposition) + L" | " + c.pszUrl);
        EXPECT_EQ(NetParse::DownloadFileName(c.pszDisposition, c.pszUrl, c.pszType), c.pszName);
    }
}

TEST(NetFileName, NumbersBeforeTheLastDotAndRefusesOverlongNames) {
    struct Case {
        std::wstring wstrName;
        unsigned long ulCounter;
        bool bOk;
        std::wstring wstrNumbered;
    };
    const std::wstring wstrLong(250, L'a');
    const Case cases[] = {
        {L"pkg.exe", 1, true, L"pkg(1).exe"},
        {L"pkg.exe", 12, true, L"pkg(12).exe"},
        {L"a.tar.gz", 3, true, L"a.tar(3).gz"},
        {L"pkg.", 2, true, L"pkg(2)."},
        {L"noext", 1, true, L"noext(1)"},
        {wstrLong + L".exe", 1, true, wstrLong + L"(1).exe"},
        {wstrLong + L".exe", 12345, false, L""},
        {std::wstring(259, L'b'), 1, false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wstrName.substr(0, 20));
        std::wstring wstrOut = L"untouched";
        EXPECT_EQ(NetParse::NumberedFileName(c.wstrName, c.ulCounter, wstrOut), c.bOk);
        EXPECT_EQ(wstrOut, c.bOk ? c.wstrNumbered : L"untouched");
        EXPECT_LE(wstrOut.size(), NetParse::kMaxFileNameLength);
    }
}

TEST(NetProxyText, ReadsTheHttpProxy) {
    struct Case {
        const wchar_t* pszText;
        bool bFound;
        const wchar_t* pszHost;
        int nPort;
    };
    const Case cases[] = {
        {L"http=p:80;https=q:443", true, L"p", 80},
        {L"https=q:443;http=p:81", true, L"p", 81},
        {L"p:8080", true, L"p", 8080},
        {L"p:8080;q:8081", true, L"p", 8080},
        {L"p:8080 q:8081", true, L"p", 8080},
        {L"p", true, L"p", 80},
        {L"http=p;https=q:443", true, L"p", 80},
        {L"p:", true, L"p", 80},
        {L"p;q:8081", true, L"p", 80},
        {L"http://p:3128/", true, L"p", 3128},
        {L"p:80x", true, L"p", 80},
        {L"[::1]:8080", true, L"[::1]", 8080},
        {L"PROXY 127.0.0.1:3128", true, L"127.0.0.1", 3128},
        {L"proxy a:1; PROXY b:2; DIRECT", true, L"a", 1},
        {L"socksproxy:1080", true, L"socksproxy", 1080},
        {L"DIRECT", false, L"", 0},
        {L"SOCKS s:1080", false, L"", 0},
        {L"p:0", false, L"", 0},
        {L"p:70000", false, L"", 0},
        {L"p:abc", false, L"", 0},
        {L":8080", false, L"", 0},
        {L"http=;https=q:443", false, L"", 0},
        {L"", false, L"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszText);
        std::wstring wstrHost = L"stale";
        int nPort = -1;
        EXPECT_EQ(NetParse::ParseProxyText(c.pszText, wstrHost, nPort), c.bFound);
        EXPECT_EQ(wstrHost, c.bFound ? c.pszHost : L"stale");
        EXPECT_EQ(nPort, c.bFound ? c.nPort : -1);
    }
}

TEST(NetProgress, PercentStaysWithinRange) {
    struct Case {
        uint64_t ullReceived;
        uint32_t dwLength;
        uint32_t dwPercent;
    };
    const Case cases[] = {
        {0, 100, 0},
        {50, 100, 50},
        {8192, 33000, 24},
        {33000, 33000, 100},
        {150, 100, 100},
        {4294967294u, 4294967295u, 99},
        {4294967295u, 4294967295u, 100},
        {123, 0, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NetParse::ProgressPercent(c.ullReceived, c.dwLength), c.dwPercent)
            << c.ullReceived << "/" << c.dwLength;
}

TEST(NetMilliseconds, TakesPlainDecimalCountsWithinTheBound) {
    struct Case {
        const wchar_t* pszText;
        bool bOk;
        uint32_t dwMs;
    };
    const Case cases[] = {
        {L"1", true, 1},        {L"1500", true, 1500}, {L"300000", true, 300000},
        {L"000250", true, 250}, {L"300001", false, 0}, {L"99999999999999999999", false, 0},
        {L"0", false, 0},       {L"", false, 0},       {L"-5", false, 0},
        {L"+5", false, 0},      {L" 5", false, 0},     {L"5ms", false, 0},
        {L"0x10", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszText);
        uint32_t dwMs = 7;
        EXPECT_EQ(NetParse::ParseMilliseconds(c.pszText, 300000, dwMs), c.bOk);
        EXPECT_EQ(dwMs, c.bOk ? c.dwMs : 7u);
    }
}

TEST(NetScriptHost, TakesTheHostOfAnyScheme) {
    struct Case {
        std::string strUrl;
        bool bOk;
        std::string strHost;
    };
    const Case cases[] = {
        {"http://h/x", true, "h"},
        {"https://h.example:8443/x?y", true, "h.example"},
        {"http://user:pw@h:1/", true, "h"},
        {"http://[::1]:80/", true, "[::1]"},
        {"http://h?x=/y", true, "h"},
        {"h", true, "h"},
        {"http://" + std::string(255, 'a') + "/", true, std::string(255, 'a')},
        {"http://" + std::string(256, 'a') + "/", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strUrl.substr(0, 30));
        std::string strHost = "untouched";
        EXPECT_EQ(NetParse::ScriptHostOfUrl(c.strUrl, strHost), c.bOk);
        EXPECT_EQ(strHost, c.bOk ? c.strHost : "untouched");
    }
    EXPECT_TRUE(NetParse::IsDirectAnswer("DIRECT"));
    EXPECT_TRUE(NetParse::IsDirectAnswer("direct; PROXY p:1"));
    EXPECT_TRUE(NetParse::IsDirectAnswer("DiReCt"));
    EXPECT_FALSE(NetParse::IsDirectAnswer("DIREC"));
    EXPECT_FALSE(NetParse::IsDirectAnswer("PROXY direct:80"));
}

} // namespace
