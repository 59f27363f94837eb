#include "EventDispatcher.h"

#include "CvComn_BoundedFormat.h"
#include "CvComn_String.h"
#include "DeliveryQueue.h"
#include "GAEvent.h"
#include "Util_File.h"

#include <atomic>
#include <chrono>
#include <utility>

namespace {

// The dispatcher is made while the program's static objects are, so that its
// workers are up before the entry point runs.
const bool g_bDispatcherStarted = (EventDispatcher::Instance(), true);

void ReportDropped(const wchar_t* pszWhere, size_t nDropped) {
    wchar_t szText[512] = {};
    CvCommon::String::FormatTruncated(szText, ARRAYSIZE(szText),
                                      L"%ls: not all events delivered in time, %u dropped",
                                      pszWhere, static_cast<unsigned>(nDropped));
    ::OutputDebugStringW(szText);
}

} // namespace

EventDispatcher::EventDispatcher() {
    // Function-local statics used by deliveries are made here, before the
    // dispatcher is complete, so that they are destroyed only after it.
    (void)Json::Value::nullSingleton();
    // The interrupt ends the sender's wait for a hit the collector does not
    // answer; the hit's thread runs on by itself.
    m_pQueue = new DeliveryQueue(kWorkerCount, &EventDispatcher::Deliver, &GAEvent::AbandonWaits);
}

EventDispatcher::~EventDispatcher() {
    Shutdown(kDrainBoundMs);
}

EventDispatcher& EventDispatcher::Instance() {
    // Destroyed with the static objects: the destructor drains the queue.
    static EventDispatcher s_instance;
    return s_instance;
}

void EventDispatcher::Post(AnalyticsEvent event) {
    m_pQueue->Post(std::move(event));
}

bool EventDispatcher::WaitAll(DWORD dwBoundMs) {
    const DeliveryQueue::Outcome outcome = m_pQueue->WaitAll(std::chrono::milliseconds(dwBoundMs));
    if (!outcome.bComplete)
        ReportDropped(L"EventDispatcher::WaitAll", outcome.nDropped);
    return outcome.bComplete;
}

bool EventDispatcher::Shutdown(DWORD dwBoundMs) {
    const DeliveryQueue::Outcome outcome = m_pQueue->Shutdown(std::chrono::milliseconds(dwBoundMs));
    // Only the first call drains; later ones get its outcome and stay quiet.
    if (!outcome.bComplete && !m_bShutdownReported.exchange(true))
        ReportDropped(L"EventDispatcher::Shutdown", outcome.nDropped);
    return outcome.bJoined;
}

void EventDispatcher::Deliver(const AnalyticsEvent& event) {
    try {
        wchar_t szPath[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
        const Json::Value mapped = MapEvent(event, Util::GetFileVersionString(szPath));
        GAEvent::Instance().Send(mapped, true);
    } catch (...) {
        // Dropped like any failed delivery.
    }
}

Json::Value EventDispatcher::MapEvent(const AnalyticsEvent& event,
                                      const std::wstring& wstrVersion) {
    const Json::Value& record = event.Record();
    Json::Value mapped;
    const std::pair<const char*, const char*> copies[] = {
        {AnalyticsEvent::kCategory, "category"},
        {AnalyticsEvent::kAction, "action"},
        {AnalyticsEvent::kValue, "value"},
    };
    for (const auto& copy : copies) {
        if (record.isMember(copy.first))
            mapped[copy.second] = record[copy.first];
    }
    std::string strVersion;
    CvCommon::String::WCharToUTF8(wstrVersion, strVersion);
    mapped["label"] = strVersion;
    return mapped;
}
