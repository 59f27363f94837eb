#pragma once
// The process-wide event queue: posting copies an event into a task for a
// pool of six workers, which map it and hand it to the analytics sender. The
// dispatcher is a static object: it starts its workers before the entry
// point runs, and at normal process exit it delivers every queued event and
// then stops and joins the workers.

#include "AnalyticsEvent.h"

#include <json/json.h>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

namespace threadpool {
class pool_core;
class shutdown_controller;
} // namespace threadpool

class EventDispatcher {
public:
    static constexpr size_t kWorkerCount = 6;

    static EventDispatcher& Instance();

    // Queues a copy of the event for delivery; never waits for the network.
    // Events reach the collector in the order they were posted.
    void Post(AnalyticsEvent event);
    // Returns once every event posted before has been delivered (or dropped
    // after a failed send).
    void WaitAll();

    // The task body: maps the event with the running program's version and
    // sends it, waiting for the send to end.
    static void Deliver(const AnalyticsEvent& event);
    // The record the sender expects: "category", "action" and "value" as
    // exact copies of the event's members when present, and "label" always
    // the given version text. "event_label" is never forwarded.
    static Json::Value MapEvent(const AnalyticsEvent& event, const std::wstring& wstrVersion);

    ~EventDispatcher();
    EventDispatcher(const EventDispatcher&) = delete;
    EventDispatcher& operator=(const EventDispatcher&) = delete;

private:
    EventDispatcher();

    // Delivers the event once every event posted before it has been sent or
    // dropped.
    void DeliverInTurn(const AnalyticsEvent& event, unsigned long long ullTicket);

    // Declared in this order so that the shutdown controller is released
    // first (draining the queue and joining the workers), the core second.
    std::shared_ptr<threadpool::pool_core> m_pCore;
    std::shared_ptr<threadpool::shutdown_controller> m_pShutdownController;

    // Posting order: each posted event takes the next ticket; sends happen in
    // ticket order. m_postMutex also guards m_pCore, which is released at exit.
    std::mutex m_postMutex;
    unsigned long long m_ullNextTicket = 0;
    std::mutex m_turnMutex;
    std::condition_variable m_turnChanged;
    unsigned long long m_ullNowServing = 0;

    static EventDispatcher s_instance;
};
