// The event mapping and the sender: hit URLs, program version texts, the
// client identifier, and sends against a loopback collector: one at a time,
// and never waited for longer than their bound.

#include "loopback_server.h"

#include "AnalyticsEvent.h"
#include "EventDispatcher.h"
#include "GAEvent.h"
#include "Util_File.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cwctype>
#include <future>
#include <string>
#include <thread>

namespace Json {
// How gtest shows a value; jsoncpp is built without its stream operators.
void PrintTo(const Value& value, std::ostream* os) {
    *os << FastWriter().write(value);
}
} // namespace Json

namespace {

Json::Value Parse(const char* pszText) {
    Json::Value value;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(pszText, value)) << pszText;
    return value;
}

Json::Value Hit(const char* pszAction) {
    Json::Value record;
    record["category"] = "Downloader";
    record["action"] = pszAction;
    record["label"] = "1.2.3";
    return record;
}

bool HasAction(const std::string& strRequest, const char* pszAction) {
    return strRequest.find(std::string("&ea=") + pszAction + "&") != std::string::npos;
}

// Polls a condition every few milliseconds, for at most nMs.
template <typename Condition> bool WaitUntil(Condition condition, int nMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(EventMapping, CopiesMembersAndAlwaysLabelsWithTheVersion) {
    const struct {
        const char* pszEvent;
        const char* pszMapped;
    } cases[] = {
        {R"({"event_category":"Downloader","event_action":"Start","event_label":"f7","event_value":5})",
         R"({"category":"Downloader","action":"Start","value":5,"label":"3.1.5"})"},
        {R"({"event_label":"f7"})", R"({"label":"3.1.5"})"},
        {R"({})", R"({"label":"3.1.5"})"},
        {R"({"event_action":"A","other":1,"label":"x","dimension1":"d"})",
         R"({"action":"A","label":"3.1.5"})"},
        {R"({"event_category":7,"event_value":{"n":[1,"2"]}})",
         R"({"category":7,"value":{"n":[1,"2"]},"label":"3.1.5"})"},
        {R"({"event_value":null})", R"({"value":null,"label":"3.1.5"})"},
    };
    for (const auto& c : cases) {
        const Json::Value mapped =
            EventDispatcher::MapEvent(AnalyticsEvent(Parse(c.pszEvent)), L"3.1.5");
        EXPECT_EQ(mapped, Parse(c.pszMapped)) << c.pszEvent;
    }
    // A number stays a number.
    const Json::Value mapped = EventDispatcher::MapEvent(
        AnalyticsEvent(Parse(R"({"event_value":5,"event_category":2.5})")), L"");
    EXPECT_TRUE(mapped["value"].isInt());
    EXPECT_TRUE(mapped["category"].isDouble());
    EXPECT_EQ(mapped["label"], Json::Value(""));
}

TEST(EventMapping, WideTextReachesTheRecordAsUtf8) {
    AnalyticsEvent event;
    event.SetCategory(L"Downloader");
    event.SetAction(L"Gr\u00FC\u00DFe");
    const Json::Value mapped = EventDispatcher::MapEvent(event, L"1.0.0");
    EXPECT_EQ(mapped["action"].asString(), "Gr\xC3\xBC\xC3\x9F"
                                           "e");
    EXPECT_EQ(mapped["category"].asString(), "Downloader");
}

TEST(HitUrl, CarriesTheRecordInTheQuery) {
    GAEvent::Instance(); // fixes the class-wide values
    const std::wstring wstrCid = GAEvent::ClientId();
    const std::wstring wstrTid = GAEvent::TrackingId();
    const struct {
        const wchar_t* pszRecord;
        std::wstring wstrQuery; // after "http://collector.test:8080/collect?"
    } cases[] = {
        {LR"({"category":"Downloader","action":"Downloader_Start","label":"1.2.4","value":9})",
         L"v=1&t=event&tid=" + wstrTid + L"&cid=" + wstrCid +
             L"&ec=Downloader&ea=Downloader_Start&el=1.2.4&ev=0&ul=en-us&cd1="},
        {LR"({"category":5,"action":"A","dimension1":"d-1_x.y"})",
         L"v=1&t=event&tid=" + wstrTid + L"&cid=" + wstrCid +
             L"&ec=&ea=A&el=&ev=0&ul=en-us&cd1=d-1_x.y"},
        {LR"({"GaTrackingId":"UA-42-7","label":"2.0"})",
         L"v=1&t=event&tid=UA-42-7&cid=" + wstrCid + L"&ec=&ea=&el=2.0&ev=0&ul=en-us&cd1="},
        {LR"({"GaTrackingId":17})",
         L"v=1&t=event&tid=" + wstrTid + L"&cid=" + wstrCid + L"&ec=&ea=&el=&ev=0&ul=en-us&cd1="},
        // Text that would break the query is encoded.
        {LR"({"category":"a&b=c d#e","action":"\u00e9/%"})",
         L"v=1&t=event&tid=" + wstrTid + L"&cid=" + wstrCid +
             L"&ec=a%26b%3Dc%20d%23e&ea=%C3%A9%2F%25&el=&ev=0&ul=en-us&cd1="},
        {L"[1,2]",
         L"v=1&t=event&tid=" + wstrTid + L"&cid=" + wstrCid + L"&ec=&ea=&el=&ev=0&ul=en-us&cd1="},
    };
    for (const auto& c : cases) {
        GAEvent::HitFields fields;
        ASSERT_TRUE(GAEvent::ReadRecord(c.pszRecord, fields)) << c.pszRecord;
        std::wstring wstrUrl;
        ASSERT_TRUE(GAEvent::FormatHitUrl(L"collector.test:8080", fields, wstrUrl));
        EXPECT_EQ(wstrUrl, L"http://collector.test:8080/collect?" + c.wstrQuery) << c.pszRecord;
    }

    GAEvent::HitFields fields;
    EXPECT_FALSE(GAEvent::ReadRecord(L"{\"category\":", fields));
}

TEST(EngineVersion, FollowsTheNumbersOfTheVersionResource) {
    const std::wstring wstrDir = Util::GetModuleDirectory() + L"\\";
    const struct {
        const wchar_t* pszFile;
        const wchar_t* pszVersion;
        bool bResult;
    } cases[] = {
        {L"telemetry_version_1_2_0_0.exe", L"1.2", true},
        {L"telemetry_version_1_2_3_0.exe", L"1.2.3.0", true},
        {L"telemetry_version_0_0_0_7.exe", L"0.0.0.7", true},
        {L"telemetry_version_0_0_0_0.exe", L"", true},
        {L"telemetry_tests.exe", L"1.0.0.0", false}, // no version resource
        {L"no_such_file.exe", L"1.0.0.0", false},
    };
    for (const auto& c : cases) {
        std::wstring wstrVersion = L"stale";
        EXPECT_EQ(GAEvent::ReadEngineVersion(wstrDir + c.pszFile, wstrVersion), c.bResult)
            << c.pszFile;
        EXPECT_EQ(wstrVersion, c.pszVersion) << c.pszFile;
    }
}

TEST(ClientId, IsAnUpperCaseGuidWithoutBraces) {
    std::wstring wstrFirst, wstrSecond;
    ASSERT_TRUE(GAEvent::CreateClientId(wstrFirst));
    ASSERT_TRUE(GAEvent::CreateClientId(wstrSecond));
    EXPECT_NE(wstrFirst, wstrSecond);
    for (const std::wstring& wstrId : {wstrFirst, wstrSecond, GAEvent::Instance().ClientId()}) {
        ASSERT_EQ(wstrId.size(), 36u) << wstrId;
        for (size_t i = 0; i < wstrId.size(); ++i) {
            if (i == 8 || i == 13 || i == 18 || i == 23)
                EXPECT_EQ(wstrId[i], L'-') << wstrId;
            else
                EXPECT_TRUE(std::iswxdigit(wstrId[i]) && !std::iswlower(wstrId[i])) << wstrId;
        }
    }
}

TEST(SendLock, SendsStartedTogetherReachTheCollectorOneAtATime) {
    // Each hit is held at the collector until every later send waits for its
    // turn; a connection that arrives meanwhile is an overlap.
    const size_t kSends = 4;
    std::atomic<size_t> nServed{0};
    std::atomic<int> nOverlaps{0};
    LoopbackServer server([&](LoopbackServer& self, const std::string&) {
        const size_t nOthers = kSends - 1 - nServed;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (GAEvent::WaitingSends() < nOthers && std::chrono::steady_clock::now() < deadline) {
            if (self.ConnectionPending(5)) {
                ++nOverlaps;
                break;
            }
        }
        ++nServed;
        return LoopbackServer::Reply::Answer200;
    });
    ASSERT_TRUE(server.Listening());
    GAEvent::SetCollectorHost(server.Host());

    const char* const actions[kSends] = {"S0", "S1", "S2", "S3"};
    for (const char* pszAction : actions)
        EXPECT_TRUE(GAEvent::Instance().Send(Hit(pszAction), false));
    ASSERT_TRUE(WaitUntil([&] { return nServed == kSends; }));

    EXPECT_EQ(nOverlaps, 0);
    const std::vector<std::string> requests = server.Requests();
    for (const char* pszAction : actions) {
        EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                                [&](const std::string& r) { return HasAction(r, pszAction); }),
                  1)
            << pszAction;
    }
}

TEST(SendBound, ASendTheCollectorDoesNotAnswerIsGivenUpOnInTime) {
    LoopbackServer server(
        [](LoopbackServer&, const std::string&) { return LoopbackServer::Reply::Hold; });
    ASSERT_TRUE(server.Listening());
    GAEvent::SetCollectorHost(server.Host());
    const DWORD dwBoundMs = 400;

    // The first send reaches the collector and hangs there; its sender gives
    // up at its bound.
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(GAEvent::Instance().Send(Hit("B0"), true, dwBoundMs));
    EXPECT_LT(SecondsSince(start), 10.0);
    ASSERT_TRUE(WaitUntil([&] { return server.RequestCount() == 1; }));

    // The second waits for its turn behind it and is given up on before it
    // comes: its thread stops waiting at once instead of at its own bound.
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(GAEvent::Instance().Send(Hit("B1"), true, dwBoundMs));
    EXPECT_TRUE(WaitUntil([] { return GAEvent::WaitingSends() == 0; },
                          static_cast<int>(GAEvent::kSendBoundMs / 2)));

    // A wait cut short by AbandonWaits ends long before its bound.
    auto cut = std::async(std::launch::async,
                          [] { return GAEvent::Instance().Send(Hit("B2"), true, 20000); });
    ASSERT_TRUE(WaitUntil([] { return GAEvent::WaitingSends() == 1; }));
    start = std::chrono::steady_clock::now();
    GAEvent::AbandonWaits();
    EXPECT_FALSE(cut.get());
    EXPECT_LT(SecondsSince(start), 10.0);

    // Once the hanging hit ends, the next one goes out; the sends given up
    // on before their turn never do.
    server.Release();
    LoopbackServer answering(
        [](LoopbackServer&, const std::string&) { return LoopbackServer::Reply::Answer200; });
    GAEvent::SetCollectorHost(answering.Host());
    EXPECT_TRUE(GAEvent::Instance().Send(Hit("B3"), true));
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(HasAction(requests[0], "B0")) << requests[0];
    const std::vector<std::string> later = answering.Requests();
    ASSERT_EQ(later.size(), 1u);
    EXPECT_TRUE(HasAction(later[0], "B3")) << later[0];
}
