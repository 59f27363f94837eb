#pragma once
// The process-wide event queue: posting copies an event into a task for a
// pool of six workers, which map it and hand it to the analytics sender, one
// event at a time and in posting order. The dispatcher is a static object: it
// starts its workers before the entry point runs. Waiting for the deliveries
// and shutting down are bounded: a dead collector never holds the process.

#include "AnalyticsEvent.h"

#include <json/json.h>

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>

class DeliveryQueue;

class EventDispatcher {
public:
    static constexpr size_t kWorkerCount = 6;
    // The default total bound of WaitAll and Shutdown, in milliseconds.
    static constexpr DWORD kDrainBoundMs = 5000;

    static EventDispatcher& Instance();

    // Queues a copy of the event for delivery; never waits for the network.
    // Events reach the collector in the order they were posted. After
    // Shutdown the event is dropped.
    void Post(AnalyticsEvent event);
    // Waits until every event posted before has been delivered (or failed),
    // at most dwBoundMs in total. On time-out, drops those not yet begun with
    // one debugger line saying how many, stops waiting for the one in
    // progress, and returns false. Returns at once after Shutdown.
    bool WaitAll(DWORD dwBoundMs = kDrainBoundMs);
    // The bounded drain at process exit: delivers what is queued within the
    // bound, drops the rest with one debugger line saying how many, stops
    // the workers and joins those that end within the same bound. True only
    // when every worker was joined; when false, a worker may still be
    // running, and the caller ends the process rather than letting static
    // destruction run under it. A second call returns the first result at
    // once. The destructor calls it.
    bool Shutdown(DWORD dwBoundMs = kDrainBoundMs);

    // The task body: maps the event with the running program's version and
    // sends it, waiting for the send to end (within the sender's bound).
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

    // Never freed: a thread that outlives the entry point may still post
    // while the process ends, and a worker that could not be joined may
    // still run; both find the queue intact (and shut down).
    DeliveryQueue* m_pQueue = nullptr;
    std::atomic<bool> m_bShutdownReported{false};
};
