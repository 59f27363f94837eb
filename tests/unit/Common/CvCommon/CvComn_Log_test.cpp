#include "CvComn_Log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <vector>

using namespace CvCommon::Log;

namespace {

struct Capture {
    int nResult = 0;
    std::vector<std::wstring> lines;
    std::vector<SYSTEMTIME> times;
    std::atomic<int> nInside{0};
    std::atomic<int> nOverlaps{0};
};

int CaptureSink(void* pContext, const SYSTEMTIME* pTime, const wchar_t* pszLine) {
    Capture* pCapture = static_cast<Capture*>(pContext);
    if (pCapture->nInside.fetch_add(1) != 0)
        pCapture->nOverlaps.fetch_add(1);
    pCapture->lines.push_back(pszLine);
    pCapture->times.push_back(*pTime);
    ::Sleep(0); // give another writer the chance to barge in
    pCapture->nInside.fetch_sub(1);
    return pCapture->nResult;
}

struct LoggerTest : ::testing::Test {
    Logger logger{L"Tag"};
    Capture capture;
    void SetUp() override {
        logger.SetEnabled(true);
        logger.SetFilter(1, 0xFFFFFFFF);
        logger.SetSink(CaptureSink, &capture);
    }
};

// Fields of one line: time, pid, tid, mark, tag, message, file, line.
const std::wregex kLine(L"(\\d{2})/(\\d{2})/(\\d{4}) (\\d{2}):(\\d{2}):(\\d{2})\\.(\\d{3}) "
                        L"([0-9a-f]{4,}):([0-9a-f]{4,}) (.{3}) <([^>]*)> ([\\s\\S]*) - "
                        L"([^\\r\\n]*)\\((\\d+)\\)\r\n");

} // namespace

TEST_F(LoggerTest, FilterAndMarks) {
    struct Case {
        bool bEnabled;
        BYTE byMode;
        DWORD dwMask;
        DWORD dwLevel;
        bool bResult;
        const wchar_t* pszMark; // null: the sink is not called
    } cases[] = {
        {false, 1, 0xFFFFFFFF, LevelError, false, nullptr},
        {false, 1, 0xFFFFFFFF, LevelForced, false, nullptr},
        {true, 1, LevelInfo, LevelTrace, true, nullptr},
        {true, 0, 0xFFFFFFFF, LevelError, true, nullptr},
        {true, 2, 0xFFFFFFFF, LevelInfo, true, nullptr},
        {true, 1, 0xFFFFFFFF, LevelTrace, true, L".w."},
        {true, 1, LevelInfo, LevelInfo, true, L"@@@"},
        {true, 1, LevelError | LevelTrace, LevelError, true, L"!!!"},
        {true, 1, 0xFFFFFFFF, 2, true, L"???"},
        {true, 1, 0, LevelForced, true, L"???"},
        {true, 0, 0, LevelForced, true, L"???"},
    };
    for (const Case& c : cases) {
        logger.SetEnabled(c.bEnabled);
        logger.SetFilter(c.byMode, c.dwMask);
        capture.lines.clear();
        EXPECT_EQ(logger.Write("f.cpp", 1, c.dwLevel, L"m"), c.bResult) << c.dwLevel;
        if (!c.pszMark) {
            EXPECT_TRUE(capture.lines.empty()) << c.dwLevel;
            continue;
        }
        ASSERT_EQ(capture.lines.size(), 1u);
        std::wsmatch m;
        ASSERT_TRUE(std::regex_match(capture.lines[0], m, kLine));
        EXPECT_EQ(m[10].str(), c.pszMark);
    }
}

TEST_F(LoggerTest, LineFields) {
    const int nLine = __LINE__;
    ASSERT_TRUE(logger.Write("..\\..\\Common\\include\\HttpAgent.cpp", nLine, LevelError,
                             L"failed: error = %d, host %s, body \"%S\" 100%%", 12029,
                             L"example.test", "a b"));
    ASSERT_EQ(capture.lines.size(), 1u);
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(capture.lines[0], m, kLine)) << capture.lines[0];
    const SYSTEMTIME& st = capture.times[0];
    const int expected[] = {st.wDay,    st.wMonth,  st.wYear,        st.wHour,
                            st.wMinute, st.wSecond, st.wMilliseconds};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(std::stoi(m[i + 1].str()), expected[i]) << "field " << i;
    EXPECT_EQ(std::stoul(m[8].str(), nullptr, 16), ::GetCurrentProcessId());
    EXPECT_EQ(std::stoul(m[9].str(), nullptr, 16), ::GetCurrentThreadId());
    EXPECT_EQ(m[11].str(), L"Tag");
    EXPECT_EQ(m[12].str(), L"failed: error = 12029, host example.test, body \"a b\" 100%");
    EXPECT_EQ(m[13].str(), L"HttpAgent.cpp");
    EXPECT_EQ(std::stoi(m[14].str()), nLine);
}

TEST(Logger, ComposeLineExactText) {
    SYSTEMTIME st = {};
    st.wYear = 2026;
    st.wMonth = 12;
    st.wDay = 7;
    st.wHour = 3;
    st.wMinute = 5;
    st.wSecond = 9;
    st.wMilliseconds = 45;
    std::wstring wstrLine;
    ASSERT_TRUE(ComposeLine(wstrLine, st, 0x1A2C, 0xF10, L"!!!", L"T", L"msg %d", L"f.cpp", 42));
    EXPECT_EQ(wstrLine, L"07/12/2026 03:05:09.045 1a2c:0f10 !!! <T> msg %d - f.cpp(42)\r\n");
    ASSERT_TRUE(ComposeLine(wstrLine, st, 0x12345, 0xABCDEF, L".w.", L"", L"", nullptr, 0));
    EXPECT_EQ(wstrLine, L"07/12/2026 03:05:09.045 12345:abcdef .w. <>  - (null)(0)\r\n");
}

TEST_F(LoggerTest, FileNamesAndLongMessages) {
    const char* files[][2] = {{"..\\src\\a\\file.cpp", "file.cpp"},
                              {"/work/tree/dir/unix.cpp", "unix.cpp"},
                              {"plain.cpp", "plain.cpp"}};
    for (const auto& f : files) {
        capture.lines.clear();
        ASSERT_TRUE(logger.Write(f[0], 7, LevelInfo, L"x"));
        std::wsmatch m;
        ASSERT_TRUE(std::regex_match(capture.lines.at(0), m, kLine));
        EXPECT_EQ(m[13].str(), std::wstring(f[1], f[1] + strlen(f[1])));
    }
    for (size_t nLength : {255u, 256u, 1025u, 4100u}) {
        std::wstring wstrMessage(nLength, L'q');
        wstrMessage.back() = L'Z';
        capture.lines.clear();
        ASSERT_TRUE(logger.Write("f.cpp", 1, LevelInfo, L"%ls", wstrMessage.c_str()));
        // Searched, not matched: the regex engine recurses per character.
        const std::wstring& wstrLine = capture.lines.at(0);
        EXPECT_EQ(wstrLine.find(L"<Tag> " + wstrMessage + L" - f.cpp(1)\r\n"),
                  wstrLine.size() - wstrMessage.size() - 19)
            << nLength;
    }
}

TEST_F(LoggerTest, SinkDecidesTheResult) {
    capture.nResult = 1;
    EXPECT_FALSE(logger.Write("f.cpp", 1, LevelError, L"refused"));
    EXPECT_EQ(capture.lines.size(), 1u);
    logger.SetSink(nullptr, nullptr);
    EXPECT_FALSE(logger.Write("f.cpp", 1, LevelError, L"nowhere"));
    EXPECT_EQ(capture.lines.size(), 1u);
}

TEST_F(LoggerTest, MacroSkipsWithoutGlobalLogger) {
    ASSERT_EQ(g_pLogger, nullptr);
    int nEvaluated = 0;
    CVLOG(LevelError, L"%d", ++nEvaluated);
    EXPECT_EQ(nEvaluated, 0);
    EXPECT_TRUE(capture.lines.empty());

    g_pLogger = &logger;
    const int nLine = __LINE__ + 1;
    CVLOG(LevelError, L"n=%d", ++nEvaluated);
    g_pLogger = nullptr;
    ASSERT_EQ(capture.lines.size(), 1u);
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(capture.lines[0], m, kLine));
    EXPECT_EQ(m[12].str(), L"n=1");
    EXPECT_EQ(m[13].str(), L"CvComn_Log_test.cpp");
    EXPECT_EQ(std::stoi(m[14].str()), nLine);
}

TEST_F(LoggerTest, ConcurrentWritersReachTheSinkOneAtATime) {
    const int kThreads = 6, kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kLines; ++i)
                logger.Write("f.cpp", 1, LevelTrace, L"t%d n%d %ls", t, i,
                             std::wstring(300, L'a' + t).c_str());
        });
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(capture.nOverlaps.load(), 0);
    ASSERT_EQ(capture.lines.size(), size_t(kThreads * kLines));
    std::set<std::wstring> seen;
    for (const std::wstring& wstrLine : capture.lines) {
        std::wsmatch m;
        ASSERT_TRUE(std::regex_match(wstrLine, m, kLine));
        int t = -1, i = -1;
        ASSERT_EQ(swscanf(m[12].str().c_str(), L"t%d n%d", &t, &i), 2);
        EXPECT_EQ(m[12].str().substr(m[12].str().size() - 300), std::wstring(300, L'a' + t));
        seen.insert(m[12].str());
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kLines));
}
