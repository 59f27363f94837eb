// Proxy lists: the candidates a proxy text names, and how a run walks them
// when one cannot be reached.
#include "NetParse.h"
#include "ProxySettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring Names(const std::vector<NetParse::ProxyCandidate>& vecCandidates) {
    std::wstring wstrOut;
    for (const NetParse::ProxyCandidate& c : vecCandidates)
        wstrOut += (wstrOut.empty() ? L"" : L",") + NetParse::CandidateName(c);
    return wstrOut;
}

TEST(ProxyList, KeepsEveryUsableCandidateInOrder) {
    const struct {
        const wchar_t* pszText;
        const wchar_t* pszNames;
    } cases[] = {
        {L"PROXY a:3128; PROXY b:3128; DIRECT", L"a:3128,b:3128,DIRECT"},
        {L"a:3128;b:3128", L"a:3128,b:3128"},
        {L"a:3128 b:3128", L"a:3128,b:3128"},
        {L"DIRECT; PROXY a:1", L"DIRECT,a:1"},
        {L"proxy a:1;SOCKS s:1080;HTTPS h:443;http b", L"a:1,b:80"},
        {L"http=p:80;https=q:443;http=r:81", L"p:80,r:81"},
        {L"PROXY a:1; PROXY A:1; DIRECT; DIRECT", L"a:1,DIRECT"},
        {L"p:0;:8080;q:abc;r:8081", L"r:8081"},
        {L"PROXY ;DIRECT", L"DIRECT"},
        {L"https=q:443", L""},
        {L" ; ", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pszText);
        EXPECT_EQ(Names(NetParse::ParseProxyList(c.pszText)), c.pszNames);
    }
}

TEST(ProxyFailover, WalksTheListAndKeepsTheOneThatWorked) {
    ProxySettings proxy;
    EXPECT_EQ(proxy.UseProxyText(L"PROXY a:1; PROXY b:2; DIRECT"), 0u);
    EXPECT_TRUE(proxy.UsingProxy());
    EXPECT_EQ(proxy.m_wstrProxyServer + L":" + std::to_wstring(proxy.m_nProxyPort), L"a:1");

    ASSERT_TRUE(proxy.FailOver());
    EXPECT_EQ(proxy.m_wstrProxyServer + L":" + std::to_wstring(proxy.m_nProxyPort), L"b:2");
    // The next discovery of the run names the same list: b stays current, and
    // so it does for another URL whose list also names a.
    EXPECT_EQ(proxy.UseProxyText(L"PROXY a:1; PROXY b:2; DIRECT"), 0u);
    EXPECT_EQ(proxy.m_wstrProxyServer, L"b");
    EXPECT_EQ(proxy.UseProxyText(L"a:1;c:3"), 0u);
    EXPECT_EQ(proxy.m_wstrProxyServer, L"c");

    EXPECT_EQ(proxy.UseProxyText(L"PROXY a:1; PROXY b:2; DIRECT"), 0u);
    ASSERT_TRUE(proxy.FailOver());
    EXPECT_FALSE(proxy.UsingProxy());
    EXPECT_FALSE(proxy.m_bProxyFound);
    EXPECT_FALSE(proxy.FailOver());
    EXPECT_FALSE(proxy.UsingProxy());

    // Every candidate failed: a later discovery starts over at the first.
    EXPECT_EQ(proxy.UseProxyText(L"PROXY a:1; PROXY b:2; DIRECT"), 0u);
    EXPECT_EQ(proxy.m_wstrProxyServer, L"a");

    // No proxy at all: direct, nothing to fail over to, old host kept.
    EXPECT_EQ(proxy.UseProxyText(L""), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(proxy.UsingProxy());
    EXPECT_FALSE(proxy.FailOver());
    EXPECT_EQ(proxy.m_wstrProxyServer, L"a");
}

} // namespace
