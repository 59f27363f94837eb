#include "DeliveryQueue.h"

#include "pool_core.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <utility>

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds DeliveryQueue::kDefaultBound;

namespace {

// The share of a shutdown's bound kept for joining the workers once the
// queue has been drained or dropped.
milliseconds JoinReserve(milliseconds bound) {
    return std::min(bound / 5, milliseconds(500));
}

} // namespace

struct DeliveryQueue::State {
    Sink sink;
    Interrupt interrupt;

    std::mutex mutex;
    std::condition_variable changed;
    // Posted and not yet begun, oldest first.
    std::deque<AnalyticsEvent> events;
    // Events posted so far, and those delivered, failed or dropped.
    unsigned long long ullPosted = 0;
    unsigned long long ullDone = 0;
    bool bInFlight = false;
    bool bStopped = false;
    size_t nWaitingForTurn = 0;

    // One pool task, submitted once per post: delivers the oldest queued
    // event once no other delivery is in progress. A task that finds the
    // queue empty (its event was dropped) does nothing.
    void DeliverNext();
    // Drops the queued events whose ticket is below ullEnd; returns how many.
    size_t DropBefore(unsigned long long ullEnd);
};

void DeliveryQueue::State::DeliverNext() {
    std::unique_lock<std::mutex> lock(mutex);
    ++nWaitingForTurn;
    changed.wait(lock, [this] { return !bInFlight || bStopped; });
    --nWaitingForTurn;
    if (bStopped || events.empty())
        return;
    const AnalyticsEvent event = std::move(events.front());
    events.pop_front();
    bInFlight = true;
    lock.unlock();
    try {
        sink(event);
    } catch (...) {
        // A failed delivery drops its event, like a failed send.
    }
    lock.lock();
    bInFlight = false;
    ++ullDone;
    changed.notify_all();
}

size_t DeliveryQueue::State::DropBefore(unsigned long long ullEnd) {
    // The queued events carry the newest tickets.
    const unsigned long long ullFirstQueued = ullPosted - events.size();
    const size_t nDrop = ullEnd > ullFirstQueued ? static_cast<size_t>(std::min<unsigned long long>(
                                                       ullEnd - ullFirstQueued, events.size()))
                                                 : 0;
    events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(nDrop));
    ullDone += nDrop;
    changed.notify_all();
    return nDrop;
}

DeliveryQueue::DeliveryQueue(size_t nWorkers, Sink sink, Interrupt interrupt)
    : m_pState(std::make_shared<State>()), m_pPool(std::make_shared<threadpool::pool_core>()) {
    m_pState->sink = std::move(sink);
    m_pState->interrupt = std::move(interrupt);
    // A pool that starts fewer workers still delivers; one that starts none
    // drops at the first wait instead of waiting for nothing.
    m_pPool->set_worker_count(nWorkers);
}

DeliveryQueue::~DeliveryQueue() {
    Shutdown(kDefaultBound);
}

bool DeliveryQueue::Post(AnalyticsEvent event) {
    try {
        std::lock_guard<std::mutex> lock(m_pState->mutex);
        if (m_pState->bStopped)
            return false;
        m_pState->events.push_back(std::move(event));
        try {
            std::shared_ptr<State> pState = m_pState;
            m_pPool->submit([pState] { pState->DeliverNext(); });
        } catch (...) {
            m_pState->events.pop_back();
            throw;
        }
        ++m_pState->ullPosted;
        return true;
    } catch (...) {
        return false;
    }
}

DeliveryQueue::Outcome DeliveryQueue::WaitAll(milliseconds bound) {
    if (m_pPool->worker_count() == 0)
        bound = milliseconds(0);
    const auto deadline = steady_clock::now() + bound;
    Outcome outcome;
    {
        std::unique_lock<std::mutex> lock(m_pState->mutex);
        const unsigned long long ullEnd = m_pState->ullPosted;
        outcome.bComplete = m_pState->changed.wait_until(
            lock, deadline, [&] { return m_pState->ullDone >= ullEnd; });
        if (outcome.bComplete)
            return outcome;
        outcome.nDropped = m_pState->DropBefore(ullEnd);
    }
    if (m_pState->interrupt)
        m_pState->interrupt();
    return outcome;
}

DeliveryQueue::Outcome DeliveryQueue::Shutdown(milliseconds bound) {
    std::lock_guard<std::mutex> shutdownLock(m_shutdownMutex);
    if (m_bShutDown)
        return m_shutdown;
    const auto start = steady_clock::now();
    const auto deadline = start + bound;
    const auto drainDeadline = m_pPool->worker_count() == 0 ? start : deadline - JoinReserve(bound);

    Outcome outcome;
    {
        std::unique_lock<std::mutex> lock(m_pState->mutex);
        outcome.bComplete = m_pState->changed.wait_until(
            lock, drainDeadline, [&] { return m_pState->ullDone >= m_pState->ullPosted; });
        m_pState->bStopped = true;
        outcome.nDropped = m_pState->DropBefore(m_pState->ullPosted);
    }
    if (!outcome.bComplete && m_pState->interrupt)
        m_pState->interrupt();
    const auto now = steady_clock::now();
    outcome.bJoined = m_pPool->stop_all_workers_within(
        deadline > now ? std::chrono::duration_cast<milliseconds>(deadline - now)
                       : milliseconds(0));

    m_shutdown = outcome;
    m_bShutDown = true;
    return outcome;
}

size_t DeliveryQueue::WaitingForTurn() const {
    std::lock_guard<std::mutex> lock(m_pState->mutex);
    return m_pState->nWaitingForTurn;
}
