// Proxy lists: the candidates a proxy text names, and how a run walks them
// when one cannot be reached.
#include "NetParse.h"
#include "ProxyCandidates.h"
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

std::wstring CurrentName(const ProxyCandidates& candidates) {
    return candidates.Current() ? NetParse::CandidateName(*candidates.Current()) : L"none";
}

TEST(ProxyFailover, WalksTheListAndKeepsTheOneThatWorked) {
    const std::wstring wstrList = L"PROXY a:1; PROXY b:2; DIRECT";
    ProxyCandidates candidates;
    EXPECT_FALSE(candidates.Use(NetParse::ParseProxyList(wstrList)));
    EXPECT_EQ(CurrentName(candidates), L"a:1");
    EXPECT_TRUE(candidates.UsingProxy());

    ASSERT_TRUE(candidates.FailOver());
    EXPECT_EQ(CurrentName(candidates), L"b:2");
    // Later discoveries of the run keep b, and skip a in another URL's list.
    candidates.Use(NetParse::ParseProxyList(wstrList));
    EXPECT_EQ(CurrentName(candidates), L"b:2");
    candidates.Use(NetParse::ParseProxyList(L"a:1;c:3"));
    EXPECT_EQ(CurrentName(candidates), L"c:3");

    candidates.Use(NetParse::ParseProxyList(wstrList));
    ASSERT_TRUE(candidates.FailOver());
    EXPECT_EQ(CurrentName(candidates), L"DIRECT");
    EXPECT_FALSE(candidates.UsingProxy());
    EXPECT_FALSE(candidates.FailOver());
    EXPECT_EQ(CurrentName(candidates), L"DIRECT");

    // Every candidate failed: the next list starts over at its first.
    EXPECT_TRUE(candidates.Use(NetParse::ParseProxyList(wstrList)));
    EXPECT_EQ(CurrentName(candidates), L"a:1");

    EXPECT_FALSE(candidates.Use({}));
    EXPECT_EQ(candidates.Current(), nullptr);
    EXPECT_FALSE(candidates.UsingProxy());
    EXPECT_FALSE(candidates.FailOver());
}

TEST(ProxyFailover, SettingsShowTheCurrentCandidate) {
    ProxySettings proxy;
    EXPECT_EQ(proxy.UseProxyText(L"PROXY a:1; DIRECT"), 0u);
    EXPECT_TRUE(proxy.m_bProxyFound);
    EXPECT_EQ(proxy.m_wstrProxyServer + L":" + std::to_wstring(proxy.m_nProxyPort), L"a:1");
    ASSERT_TRUE(proxy.FailOver());
    EXPECT_FALSE(proxy.UsingProxy());
    EXPECT_FALSE(proxy.m_bProxyFound);
    // Going direct leaves the last proxy's host and port as they were.
    EXPECT_EQ(proxy.UseProxyText(L""), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(proxy.m_wstrProxyServer, L"a");
    EXPECT_FALSE(proxy.FailOver());
}

} // namespace
