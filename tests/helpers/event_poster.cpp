// Posts analytics events and returns from its entry point, leaving the
// deliveries to the event dispatcher:
//   event_poster COLLECTOR_HOST [--wait] [--shutdown] [--after ACTION]...
//                [--label TEXT] ACTION...
// Each action becomes one event of category "Downloader". With --wait the
// program waits for all deliveries ("WaitAll returned: 0|1") and, when they
// all ended in time, requests "/waitall-returned" from the collector, so the
// collector sees when the wait ended. With --shutdown it then shuts the
// dispatcher down ("Shutdown returned: 0|1") and, as the launcher does, ends
// the process at once when a worker could not be joined; the --after actions
// are posted after that.
// The debugger output reports how many threads the dispatcher started before
// the entry point ran and how many of them are still alive once every other
// static object has been destroyed.

#include "CvComn_Handle.h"
#include "EventDispatcher.h"
#include "GAEvent.h"
#include "HttpAgent.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

std::set<DWORD> ProcessThreads() {
    std::set<DWORD> ids;
    CvCommon::Handle::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return ids;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL bMore = ::Thread32First(snapshot.get(), &entry); bMore;
         bMore = ::Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == ::GetCurrentProcessId())
            ids.insert(entry.th32ThreadID);
    }
    return ids;
}

void Report(const wchar_t* pszWhat, size_t nCount) {
    wchar_t szText[128] = {};
    _snwprintf(szText, 127, L"%ls: %u", pszWhat, static_cast<unsigned>(nCount));
    ::OutputDebugStringW(szText);
}

void ReportResult(const wchar_t* pszWhat, bool bResult) {
    Report(pszWhat, bResult ? 1 : 0);
}

// Built before and destroyed after every static object of ordinary priority,
// the dispatcher among them.
struct ThreadProbe {
    std::set<DWORD> before;
    std::set<DWORD> pool;

    ThreadProbe() : before(ProcessThreads()) {}
    void TakePool() {
        const std::set<DWORD> now = ProcessThreads();
        std::set_difference(now.begin(), now.end(), before.begin(), before.end(),
                            std::inserter(pool, pool.begin()));
        Report(L"pool threads at start", pool.size());
    }
    ~ThreadProbe() {
        const std::set<DWORD> now = ProcessThreads();
        size_t nLeft = 0;
        for (DWORD id : pool)
            nLeft += now.count(id);
        Report(L"pool threads left at exit", nLeft);
    }
};

ThreadProbe g_probe __attribute__((init_priority(500)));

} // namespace

int wmain(int argc, wchar_t** argv) {
    g_probe.TakePool();
    if (argc < 2)
        return 2;
    const std::wstring wstrHost = argv[1];
    GAEvent::SetCollectorHost(wstrHost);

    bool bWait = false;
    bool bShutdown = false;
    std::wstring wstrLabel = L"funid-7";
    std::vector<std::wstring> after;
    AnalyticsEvent event;
    event.SetCategory(L"Downloader");
    const auto post = [&](const std::wstring& wstrAction) {
        event.SetLabel(wstrLabel);
        event.SetAction(wstrAction);
        EventDispatcher::Instance().Post(event);
    };
    for (int i = 2; i < argc; ++i) {
        const std::wstring wstrArg = argv[i];
        if (wstrArg == L"--wait") {
            bWait = true;
        } else if (wstrArg == L"--shutdown") {
            bShutdown = true;
        } else if (wstrArg == L"--after" && i + 1 < argc) {
            after.push_back(argv[++i]);
        } else if (wstrArg == L"--label" && i + 1 < argc) {
            wstrLabel = argv[++i];
        } else {
            post(wstrArg);
        }
    }
    if (bWait) {
        const bool bDelivered = EventDispatcher::Instance().WaitAll();
        ReportResult(L"WaitAll returned", bDelivered);
        if (bDelivered) {
            HttpGetSimple http;
            std::wstring wstrResponse;
            http.Get(L"http://" + wstrHost + L"/waitall-returned", std::wstring(), &wstrResponse,
                     nullptr);
        }
    }
    if (bShutdown) {
        const bool bJoined = EventDispatcher::Instance().Shutdown();
        ReportResult(L"Shutdown returned", bJoined);
        if (!bJoined)
            ::TerminateProcess(::GetCurrentProcess(), 0);
        for (const std::wstring& wstrAction : after)
            post(wstrAction);
        ReportResult(L"WaitAll after Shutdown returned", EventDispatcher::Instance().WaitAll());
    }
    return 0;
}
