#include "EventDispatcher.h"

#include "CvComn_String.h"
#include "GAEvent.h"
#include "Util_File.h"
#include "pool_core.h"

#include <windows.h>

#include <utility>

EventDispatcher EventDispatcher::s_instance;

EventDispatcher::EventDispatcher() {
    // Function-local statics used by deliveries are made here, before the
    // dispatcher is complete, so that they are destroyed only after it:
    // deliveries still run while it shuts down.
    (void)Json::Value::nullSingleton();

    m_pCore = std::make_shared<threadpool::pool_core>();
    m_pShutdownController = std::make_shared<threadpool::shutdown_controller>(m_pCore);
    // A pool that starts fewer workers still runs; one that starts none
    // makes WaitAll and the shutdown return at once instead of waiting.
    m_pCore->set_worker_count(kWorkerCount);
}

EventDispatcher::~EventDispatcher() {
    m_pShutdownController.reset();
    // A thread that outlives the entry point (the workflow, when the user
    // closed the window early) may still post: it finds no pool and drops
    // the event instead of touching a released one.
    std::lock_guard<std::mutex> lock(m_postMutex);
    m_pCore.reset();
}

EventDispatcher& EventDispatcher::Instance() {
    return s_instance;
}

void EventDispatcher::Post(AnalyticsEvent event) {
    try {
        // Tickets follow the queue's order, which the workers take from.
        std::lock_guard<std::mutex> lock(m_postMutex);
        if (!m_pCore)
            return;
        const unsigned long long ullTicket = m_ullNextTicket;
        m_pCore->submit(
            [this, event = std::move(event), ullTicket] { DeliverInTurn(event, ullTicket); });
        ++m_ullNextTicket;
    } catch (...) {
        // Out of memory while queuing: the event is dropped, like a failed
        // send, and takes no ticket.
    }
}

void EventDispatcher::DeliverInTurn(const AnalyticsEvent& event, unsigned long long ullTicket) {
    std::unique_lock<std::mutex> turn(m_turnMutex);
    m_turnChanged.wait(turn, [&] { return m_ullNowServing == ullTicket; });
    turn.unlock();
    Deliver(event); // never throws: a failed delivery only drops the event
    turn.lock();
    ++m_ullNowServing;
    m_turnChanged.notify_all();
}

void EventDispatcher::WaitAll() {
    std::shared_ptr<threadpool::pool_core> pCore;
    {
        std::lock_guard<std::mutex> lock(m_postMutex);
        pCore = m_pCore;
    }
    if (pCore)
        pCore->wait_until_idle(0);
}

void EventDispatcher::Deliver(const AnalyticsEvent& event) {
    try {
        wchar_t szPath[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, szPath, MAX_PATH);
        const Json::Value mapped = MapEvent(event, Util::GetFileVersionString(szPath));
        GAEvent::Instance()->Send(mapped, true);
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
