#pragma once
// Ordered delivery of analytics events on a worker pool. Events are delivered
// one at a time, in the order they were posted. Waiting for the deliveries
// and shutting down have a total bound: what has not begun by then is
// dropped, and the delivery in progress is told to stop waiting.

#include "AnalyticsEvent.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace threadpool {
class pool_core;
} // namespace threadpool

class DeliveryQueue {
public:
    // Delivers one event; blocks, but within a bound of its own.
    using Sink = std::function<void(const AnalyticsEvent&)>;
    // Makes the delivery in progress stop waiting at once.
    using Interrupt = std::function<void()>;

    struct Outcome {
        // Every event concerned was delivered (or failed) within the bound.
        bool bComplete = false;
        // Events dropped without a delivery attempt.
        size_t nDropped = 0;
        // Shutdown only: every worker has ended and been joined.
        bool bJoined = false;
    };

    static constexpr std::chrono::milliseconds kDefaultBound{5000};

    DeliveryQueue(size_t nWorkers, Sink sink, Interrupt interrupt);
    // Shuts down with the default bound.
    ~DeliveryQueue();
    DeliveryQueue(const DeliveryQueue&) = delete;
    DeliveryQueue& operator=(const DeliveryQueue&) = delete;

    // Queues the event; false (the event is dropped) once shut down or when
    // memory runs out. Never waits for a delivery.
    bool Post(AnalyticsEvent event);
    // Waits until every event posted before has been delivered, at most
    // `bound`. On time-out the ones among them that have not begun are
    // dropped and the delivery in progress is interrupted.
    Outcome WaitAll(std::chrono::milliseconds bound);
    // Delivers what is queued within the bound (events posted meanwhile
    // included), drops the rest, interrupts the delivery in progress when
    // the bound passed, stops the workers and joins those that end within
    // the same bound. Every later call returns the first call's outcome at
    // once; posts after it are dropped.
    Outcome Shutdown(std::chrono::milliseconds bound);

    // Workers that hold a task and wait for the delivery before theirs.
    size_t WaitingForTurn() const;

private:
    struct State;

    // Shared with every queued task, so that a worker that outlives the
    // queue still finds it.
    std::shared_ptr<State> m_pState;
    std::shared_ptr<threadpool::pool_core> m_pPool;

    std::mutex m_shutdownMutex;
    bool m_bShutDown = false;
    Outcome m_shutdown;
};
