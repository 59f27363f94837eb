// Drives the transfer code from the command line for the end-to-end tests and
// the download benchmark. Prints its findings as key=value lines.
//
//   net_driver download URL DIR [--type T] [limits] [--linger-ms N] [--stats]
//              [--sample-memory]
//   net_driver submit URL [--post-bytes N] [--headers H] [limits]
//   net_driver session URL [--post-bytes N] [limits]
//   net_driver proxy URL [--preset HOST PORT]
//   net_driver findproxy URL
//   net_driver jsproxy URL SCRIPT_URL
//   net_driver limits -
//   limits: --wait-ms N --stack-timeout-ms N (else DefaultTransferLimits())
//   stop:   --stop-at-report N (a thread sets the stop request once N
//           progress reports arrived) or --stop-after-ms N; the time from the
//           stop to the return is printed as stop_to_return_ms

#include "NetRequest.h"
#include "ProxySettings.h"
#include "TransferSession.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& wstr) {
    if (wstr.empty())
        return std::string();
    const int cb = ::WideCharToMultiByte(CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string str(static_cast<size_t>(cb), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()), &str[0], cb,
                          nullptr, nullptr);
    return str;
}

std::string Hex(const std::string& strBytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string strOut;
    for (unsigned char ch : strBytes) {
        strOut += kDigits[ch >> 4];
        strOut += kDigits[ch & 15];
    }
    return strOut;
}

void Put(const char* pszKey, const std::string& strValue) {
    std::printf("%s=%s\n", pszKey, strValue.c_str());
}
void Put(const char* pszKey, const std::wstring& wstrValue) {
    Put(pszKey, Utf8(wstrValue));
}
void PutNumber(const char* pszKey, unsigned long long ullValue) {
    std::printf("%s=%llu\n", pszKey, ullValue);
}
void PutCode(const char* pszKey, DWORD dwValue) {
    std::printf("%s=0x%08lX\n", pszKey, static_cast<unsigned long>(dwValue));
}

struct Options {
    std::vector<std::wstring> vecArgs;
    std::wstring wstrType;
    std::wstring wstrHeaders;
    size_t nPostBytes = 0;
    bool bPost = false;
    bool bStats = false;
    bool bSampleMemory = false;
    DWORD dwLingerMs = 0;
    bool bPreset = false;
    std::wstring wstrPresetHost;
    int nPresetPort = 0;
    TransferLimits limits = DefaultTransferLimits();
    DWORD dwStopAtReport = 0;
    DWORD dwStopAfterMs = 0;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 2; i < argc; ++i) {
        const std::wstring wstrArg = argv[i];
        auto next = [&]() -> std::wstring { return i + 1 < argc ? argv[++i] : L""; };
        if (wstrArg == L"--type")
            options.wstrType = next();
        else if (wstrArg == L"--headers")
            options.wstrHeaders = next();
        else if (wstrArg == L"--post-bytes") {
            options.bPost = true;
            options.nPostBytes = std::wcstoul(next().c_str(), nullptr, 10);
        } else if (wstrArg == L"--wait-ms")
            options.limits.dwWaitMs = std::wcstoul(next().c_str(), nullptr, 10);
        else if (wstrArg == L"--stack-timeout-ms")
            options.limits.dwStackTimeoutMs = std::wcstoul(next().c_str(), nullptr, 10);
        else if (wstrArg == L"--stop-at-report")
            options.dwStopAtReport = std::wcstoul(next().c_str(), nullptr, 10);
        else if (wstrArg == L"--stop-after-ms")
            options.dwStopAfterMs = std::wcstoul(next().c_str(), nullptr, 10);
        else if (wstrArg == L"--linger-ms")
            options.dwLingerMs = std::wcstoul(next().c_str(), nullptr, 10);
        else if (wstrArg == L"--stats")
            options.bStats = true;
        else if (wstrArg == L"--sample-memory")
            options.bSampleMemory = true;
        else if (wstrArg == L"--preset") {
            options.bPreset = true;
            options.wstrPresetHost = next();
            options.nPresetPort = static_cast<int>(std::wcstol(next().c_str(), nullptr, 10));
        } else if (wstrArg.compare(0, 2, L"--") == 0)
            return false;
        else
            options.vecArgs.push_back(wstrArg);
    }
    return true;
}

// The request body of a POST: a counting pattern, so that a reordered or
// repeated chunk shows.
std::string PostBody(size_t nBytes) {
    std::string strBody(nBytes, '\0');
    for (size_t i = 0; i < nBytes; ++i)
        strBody[i] = static_cast<char>('a' + (i / 8192) % 26);
    return strBody;
}

// Progress reports as they arrive, kept outside the caller's stack so that a
// late report after the operation returned can be counted, not crash.
struct ProgressLog {
    CRITICAL_SECTION cs;
    std::vector<DWORD> vecReports;
    ProgressLog() { ::InitializeCriticalSection(&cs); }
    void Add(DWORD dwPercent) {
        ::EnterCriticalSection(&cs);
        vecReports.push_back(dwPercent);
        ::LeaveCriticalSection(&cs);
    }
    size_t Count() {
        ::EnterCriticalSection(&cs);
        const size_t n = vecReports.size();
        ::LeaveCriticalSection(&cs);
        return n;
    }
    std::string Text() {
        ::EnterCriticalSection(&cs);
        std::string str;
        for (size_t i = 0; i < vecReports.size(); ++i)
            str += (i ? "," : "") + std::to_string(vecReports[i]);
        ::LeaveCriticalSection(&cs);
        return str;
    }
};

ProgressLog* g_pProgress = new ProgressLog();

double Seconds(const LARGE_INTEGER& start) {
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

// Sets the operation's stop request from a thread of its own when the
// options ask for it, and tells how long the operation took to return after.
class Stopper {
public:
    explicit Stopper(Options& options) : m_options(options) {
        if (options.dwStopAtReport == 0 && options.dwStopAfterMs == 0)
            return;
        options.limits.pCancel = &m_stop;
        m_thread = std::thread([this] { Run(); });
    }
    ~Stopper() { Finish(); }

    // Call right after the operation returned; prints stop_to_return_ms.
    void Finish() {
        if (!m_thread.joinable())
            return;
        LARGE_INTEGER returned;
        ::QueryPerformanceCounter(&returned);
        m_bReturned = true;
        m_thread.join();
        if (m_stopped.QuadPart != 0) {
            LARGE_INTEGER frequency;
            ::QueryPerformanceFrequency(&frequency);
            std::printf("stop_to_return_ms=%.1f\n",
                        static_cast<double>(returned.QuadPart - m_stopped.QuadPart) * 1000.0 /
                            frequency.QuadPart);
        }
    }

private:
    void Run() {
        const DWORD dwStart = ::GetTickCount();
        for (;;) {
            if (m_bReturned)
                return;
            const bool bByReports =
                m_options.dwStopAtReport != 0 && g_pProgress->Count() >= m_options.dwStopAtReport;
            const bool bByTime = m_options.dwStopAfterMs != 0 &&
                                 ::GetTickCount() - dwStart >= m_options.dwStopAfterMs;
            if (bByReports || bByTime)
                break;
            ::Sleep(5);
        }
        ::QueryPerformanceCounter(&m_stopped);
        m_stop.Set();
    }

    Options& m_options;
    CvCommon::Synchronize::CancelSignal m_stop;
    LARGE_INTEGER m_stopped = {};
    std::atomic<bool> m_bReturned{false};
    std::thread m_thread;
};

// Peak private memory and working set while the operation runs, beside the
// working set just before it (idle). Some systems (Wine among them) report the
// current private value as its peak, so a sampler thread also watches the
// current values; a peak working set above the one reported at idle was
// reached during the operation and counts too.
class MemorySampler {
public:
    MemorySampler() {
        PROCESS_MEMORY_COUNTERS counters = {};
        if (Query(counters)) {
            m_idleWorkingSet = counters.WorkingSetSize;
            m_idlePeakWorkingSet = counters.PeakWorkingSetSize;
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~MemorySampler() { Stop(); }
    void Stop() {
        if (m_thread.joinable()) {
            m_bStop = true;
            m_thread.join();
        }
        Sample();
    }
    SIZE_T PeakPrivate() const { return m_peakPrivate; }
    SIZE_T IdleWorkingSet() const { return m_idleWorkingSet; }
    SIZE_T PeakWorkingSet() const { return m_peakWorkingSet; }

private:
    static bool Query(PROCESS_MEMORY_COUNTERS& counters) {
        counters.cb = sizeof(counters);
        return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)) != 0;
    }
    static void Raise(std::atomic<SIZE_T>& peak, SIZE_T now) {
        SIZE_T seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
    }
    void Run() {
        while (!m_bStop) {
            Sample();
            ::Sleep(10);
        }
    }
    void Sample() {
        PROCESS_MEMORY_COUNTERS counters = {};
        if (!Query(counters))
            return;
        Raise(m_peakPrivate, std::max(counters.PeakPagefileUsage, counters.PagefileUsage));
        Raise(m_peakWorkingSet, counters.WorkingSetSize);
        if (counters.PeakWorkingSetSize > m_idlePeakWorkingSet)
            Raise(m_peakWorkingSet, counters.PeakWorkingSetSize);
    }

    SIZE_T m_idleWorkingSet = 0;
    SIZE_T m_idlePeakWorkingSet = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<SIZE_T> m_peakPrivate{0};
    std::atomic<SIZE_T> m_peakWorkingSet{0};
    std::thread m_thread;
};

// After the operation has returned, keeps the process busy with fresh heap
// blocks (so that a late notification touching freed memory would show) and
// then reports whether progress arrived late.
void Linger(DWORD dwMs, size_t nReportsAtReturn) {
    if (dwMs == 0)
        return;
    const DWORD dwStart = ::GetTickCount();
    std::vector<std::string> vecNoise;
    while (::GetTickCount() - dwStart < dwMs) {
        vecNoise.emplace_back(64 * 1024, '\xCD');
        if (vecNoise.size() > 64)
            vecNoise.clear();
        ::Sleep(20);
    }
    PutNumber("late_progress", g_pProgress->Count() - nReportsAtReturn);
}

int Download(Options& options) {
    if (options.vecArgs.size() != 2)
        return 2;
    Stopper stopper(options);
    std::wstring wstrPath = options.vecArgs[1];
    std::unique_ptr<MemorySampler> sampler;
    if (options.bSampleMemory)
        sampler.reset(new MemorySampler());
    LARGE_INTEGER start;
    ::QueryPerformanceCounter(&start);
    const ResultCode result = DownloadFile(
        options.vecArgs[0], wstrPath, [](DWORD p) { g_pProgress->Add(p); }, options.wstrType,
        options.limits);
    stopper.Finish();
    const double dSeconds = Seconds(start);
    if (sampler)
        sampler->Stop();
    const size_t nReports = g_pProgress->Count();
    PutCode("result", result);
    Put("path", wstrPath);
    Put("progress", g_pProgress->Text());
    if (options.bStats)
        std::printf("seconds=%.3f\n", dSeconds);
    if (sampler) {
        PutNumber("peak_pagefile", sampler->PeakPrivate());
        PutNumber("idle_working_set", sampler->IdleWorkingSet());
        PutNumber("peak_working_set", sampler->PeakWorkingSet());
    }
    Linger(options.dwLingerMs, nReports);
    return 0;
}

int Submit(Options& options) {
    if (options.vecArgs.size() != 1)
        return 2;
    Stopper stopper(options);
    std::string strOut = "untouched";
    DWORD dwStatus = 0xFFFFFFFF;
    const ResultCode result =
        SubmitRequest(options.vecArgs[0], PostBody(options.nPostBytes), strOut, options.bPost,
                      &dwStatus, options.wstrHeaders, options.limits);
    stopper.Finish();
    PutCode("result", result);
    PutNumber("status", dwStatus);
    Put("out_hex", Hex(strOut));
    return 0;
}

int Session(const Options& options) {
    if (options.vecArgs.size() != 1)
        return 2;
    TransferSession session(options.limits);
    const DWORD dwOpen = session.Open(options.vecArgs[0]);
    PutCode("open", dwOpen);
    Put("server", session.Server());
    PutNumber("port", session.Port());
    Put("object", session.Object());
    PutCode("flags", session.OpenFlags());
    if (dwOpen != 0)
        return 0;
    session.SetProgressCallback([](DWORD p) { g_pProgress->Add(p); });
    if (!options.wstrHeaders.empty())
        session.SetHeaders(options.wstrHeaders);
    const DWORD dwSend = options.bPost ? session.Post(PostBody(options.nPostBytes)) : session.Get();
    PutCode("send", dwSend);
    PutNumber("status", session.StatusCode());
    std::wstring wstrLocation;
    session.Location(wstrLocation);
    Put("location", wstrLocation);
    std::string strBody;
    session.Response(strBody);
    PutNumber("body_length", strBody.size());
    Put("body_hex", Hex(strBody.substr(0, 256)));
    PutNumber("content_length", session.ContentLength());
    PutNumber("body_error", session.BodyError());
    Put("disposition", session.ContentDisposition());
    Put("progress", g_pProgress->Text());
    return 0;
}

// The limits a caller that names none gets.
int Limits() {
    const TransferLimits limits = DefaultTransferLimits();
    PutNumber("wait_ms", limits.dwWaitMs);
    PutNumber("stack_timeout_ms", limits.dwStackTimeoutMs);
    return 0;
}

int Proxy(const Options& options) {
    if (options.vecArgs.size() != 1)
        return 2;
    ProxySettings& proxy = ProxySettings::Instance();
    if (options.bPreset) {
        proxy.m_wstrProxyServer = options.wstrPresetHost;
        proxy.m_nProxyPort = options.nPresetPort;
    }
    PutNumber("discover", proxy.Discover(options.vecArgs[0]));
    PutNumber("found", proxy.m_bProxyFound ? 1 : 0);
    if (proxy.m_bProxyFound) {
        Put("host", proxy.m_wstrProxyServer);
        PutNumber("port", static_cast<unsigned long long>(proxy.m_nProxyPort));
    }
    return 0;
}

int FindProxy(const Options& options) {
    if (options.vecArgs.size() != 1)
        return 2;
    std::vector<wchar_t> vecText(ProxySettings::kProxyTextBuffer, L'\0');
    const bool bOk =
        ProxySettings::FindProxyForUrl(options.vecArgs[0].c_str(), vecText.data(), vecText.size());
    PutNumber("ok", bOk ? 1 : 0);
    Put("text", std::wstring(vecText.data()));
    return 0;
}

int JsProxy(const Options& options) {
    if (options.vecArgs.size() != 2)
        return 2;
    std::string strUrl = Utf8(options.vecArgs[0]);
    std::string strScript = Utf8(options.vecArgs[1]);
    char szAnswer[1024] = {};
    const int nResult = ProxySettings::QueryAutoProxyDll(strUrl, strScript, szAnswer, 1023);
    std::printf("result=%d\n", nResult);
    Put("answer", std::string(szAnswer));
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (argc < 3 || !ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: net_driver COMMAND ARGS...\n");
        return 2;
    }
    const std::wstring wstrCommand = argv[1];
    int nExit = 2;
    if (wstrCommand == L"download")
        nExit = Download(options);
    else if (wstrCommand == L"submit")
        nExit = Submit(options);
    else if (wstrCommand == L"session")
        nExit = Session(options);
    else if (wstrCommand == L"proxy")
        nExit = Proxy(options);
    else if (wstrCommand == L"findproxy")
        nExit = FindProxy(options);
    else if (wstrCommand == L"jsproxy")
        nExit = JsProxy(options);
    else if (wstrCommand == L"limits")
        nExit = Limits();
    std::fflush(stdout);
    return nExit;
}
