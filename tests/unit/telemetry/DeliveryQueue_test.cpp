// The ordered, bounded delivery queue on top of the worker pool.

#include "CvComn_Handle.h"
#include "DeliveryQueue.h"
#include "pool_core.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using CvCommon::Handle::UniqueHandle;
using threadpool::pool_core;
using namespace std::chrono_literals;

namespace {

// A sink for the delivery queue: records the events it finished, in order,
// and how many ran at once. The first event it is given can be held: until
// a condition holds, until the queue interrupts it, or until Release.
class Deliveries : public std::enable_shared_from_this<Deliveries> {
public:
    enum class Hold { None, UntilCondition, UntilInterrupted, UntilReleased };

    explicit Deliveries(Hold hold) : m_hold(hold) {}

    DeliveryQueue::Sink Sink() {
        auto pSelf = shared_from_this();
        return [pSelf](const AnalyticsEvent& event) { pSelf->Deliver(event); };
    }
    DeliveryQueue::Interrupt Interrupt() {
        auto pSelf = shared_from_this();
        return [pSelf] {
            std::lock_guard<std::mutex> lock(pSelf->m_mutex);
            ++pSelf->m_nInterrupts;
            pSelf->m_changed.notify_all();
        };
    }
    void SetCondition(std::function<bool()> condition) { m_condition = std::move(condition); }
    void Release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bReleased = true;
        m_changed.notify_all();
    }
    bool WaitStarted() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [this] { return m_nStarted > 0; });
    }
    bool WaitIdle() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [this] { return m_nRunning == 0; });
    }
    std::vector<std::string> Finished() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_finished;
    }
    int MaxRunning() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nMaxRunning;
    }
    int Interrupts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nInterrupts;
    }
    bool ConditionMet() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bConditionMet;
    }

private:
    void Deliver(const AnalyticsEvent& event) {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool bFirst = m_nStarted++ == 0;
        m_nMaxRunning = std::max(m_nMaxRunning, ++m_nRunning);
        m_changed.notify_all();
        if (bFirst && m_hold == Hold::UntilCondition) {
            // Polled, since the condition is another object's state; a
            // second delivery starting meanwhile also ends the hold.
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            while (!m_bConditionMet && m_nStarted == 1 &&
                   std::chrono::steady_clock::now() < deadline) {
                lock.unlock();
                const bool bMet = m_condition();
                lock.lock();
                m_bConditionMet = bMet;
                if (!bMet)
                    m_changed.wait_for(lock, 1ms);
            }
        } else if (bFirst && m_hold == Hold::UntilInterrupted) {
            m_changed.wait_for(lock, 20s, [this] { return m_nInterrupts > 0; });
        } else if (bFirst && m_hold == Hold::UntilReleased) {
            m_changed.wait_for(lock, 20s, [this] { return m_bReleased; });
        }
        m_finished.push_back(event.Record()[AnalyticsEvent::kAction].asString());
        --m_nRunning;
        m_changed.notify_all();
    }

    const Hold m_hold;
    std::function<bool()> m_condition;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_finished;
    int m_nStarted = 0;
    int m_nRunning = 0;
    int m_nMaxRunning = 0;
    int m_nInterrupts = 0;
    bool m_bReleased = false;
    bool m_bConditionMet = false;
};

AnalyticsEvent Event(const std::string& strAction) {
    AnalyticsEvent event;
    event.SetAction(std::wstring(strAction.begin(), strAction.end()));
    return event;
}

std::vector<std::string> Actions(int nFirst, int nCount) {
    std::vector<std::string> actions;
    for (int i = nFirst; i < nFirst + nCount; ++i)
        actions.push_back("E" + std::to_string(i));
    return actions;
}

} // namespace

TEST(DeliveryQueue, DeliversInPostingOrderOneAtATime) {
    // The first delivery is held until the five other workers hold a task
    // each and wait for their turn: any of them that delivered instead would
    // finish before it.
    auto pDeliveries = std::make_shared<Deliveries>(Deliveries::Hold::UntilCondition);
    DeliveryQueue queue(6, pDeliveries->Sink(), pDeliveries->Interrupt());
    pDeliveries->SetCondition([&queue] { return queue.WaitingForTurn() == 5; });
    for (const std::string& strAction : Actions(0, 10))
        EXPECT_TRUE(queue.Post(Event(strAction)));

    EXPECT_TRUE(queue.WaitAll(20s).bComplete);
    EXPECT_TRUE(pDeliveries->ConditionMet());
    EXPECT_EQ(pDeliveries->Finished(), Actions(0, 10));
    EXPECT_EQ(pDeliveries->MaxRunning(), 1);
    EXPECT_EQ(pDeliveries->Interrupts(), 0);
}

TEST(DeliveryQueue, WaitAllGivesUpAtItsBoundAndDropsWhatHasNotBegun) {
    auto pDeliveries = std::make_shared<Deliveries>(Deliveries::Hold::UntilInterrupted);
    DeliveryQueue queue(6, pDeliveries->Sink(), pDeliveries->Interrupt());
    for (const std::string& strAction : Actions(0, 4))
        queue.Post(Event(strAction));
    ASSERT_TRUE(pDeliveries->WaitStarted());

    const auto start = std::chrono::steady_clock::now();
    const DeliveryQueue::Outcome outcome = queue.WaitAll(300ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(outcome.bComplete);
    EXPECT_EQ(outcome.nDropped, 3u);
    EXPECT_EQ(pDeliveries->Interrupts(), 1);

    // The interrupted delivery ends; the dropped ones never start, and the
    // queue goes on with what is posted later.
    queue.Post(Event("Late"));
    EXPECT_TRUE(queue.WaitAll(10s).bComplete);
    EXPECT_EQ(pDeliveries->Finished(), (std::vector<std::string>{"E0", "Late"}));

    const DeliveryQueue::Outcome shutdown = queue.Shutdown(5s);
    EXPECT_TRUE(shutdown.bComplete);
    EXPECT_EQ(shutdown.nDropped, 0u);
    EXPECT_TRUE(shutdown.bJoined);
}

TEST(DeliveryQueue, ShutdownDrainsWithinItsBoundAndThenTakesNoMore) {
    auto pDeliveries = std::make_shared<Deliveries>(Deliveries::Hold::UntilReleased);
    DeliveryQueue queue(6, pDeliveries->Sink(), pDeliveries->Interrupt());
    for (const std::string& strAction : Actions(0, 3))
        queue.Post(Event(strAction));
    ASSERT_TRUE(pDeliveries->WaitStarted());

    // Posted while the shutdown drains: delivered.
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        queue.Post(Event("E3"));
        pDeliveries->Release();
    });
    const DeliveryQueue::Outcome outcome = queue.Shutdown(20s);
    releaser.join();
    EXPECT_TRUE(outcome.bComplete);
    EXPECT_EQ(outcome.nDropped, 0u);
    EXPECT_TRUE(outcome.bJoined);
    EXPECT_EQ(pDeliveries->Finished(), Actions(0, 4));

    // After the shutdown: posts are dropped, waits return at once, a second
    // shutdown reports the first one's outcome.
    EXPECT_FALSE(queue.Post(Event("After")));
    EXPECT_TRUE(queue.WaitAll(20s).bComplete);
    const DeliveryQueue::Outcome again = queue.Shutdown(20s);
    EXPECT_TRUE(again.bComplete && again.bJoined);
    EXPECT_EQ(pDeliveries->Finished(), Actions(0, 4));
}

TEST(DeliveryQueue, AShutdownWhoseDeliveryIsStuckEndsAtItsBound) {
    auto pDeliveries = std::make_shared<Deliveries>(Deliveries::Hold::UntilReleased);
    auto pQueue = std::make_unique<DeliveryQueue>(6, pDeliveries->Sink(), pDeliveries->Interrupt());
    for (const std::string& strAction : Actions(0, 5))
        pQueue->Post(Event(strAction));
    ASSERT_TRUE(pDeliveries->WaitStarted());

    auto start = std::chrono::steady_clock::now();
    const DeliveryQueue::Outcome outcome = pQueue->Shutdown(400ms);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, 5s);
    EXPECT_FALSE(outcome.bComplete);
    EXPECT_EQ(outcome.nDropped, 4u);
    EXPECT_FALSE(outcome.bJoined); // the stuck delivery ignores the interrupt
    EXPECT_EQ(pDeliveries->Interrupts(), 1);

    start = std::chrono::steady_clock::now();
    const DeliveryQueue::Outcome again = pQueue->Shutdown(400ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, elapsed / 2);
    EXPECT_EQ(again.nDropped, 4u);
    EXPECT_FALSE(again.bJoined);
    EXPECT_FALSE(pQueue->Post(Event("After")));

    // The queue goes while its worker is still inside the delivery; the
    // worker finishes on state it shares.
    pQueue.reset();
    pDeliveries->Release();
    EXPECT_TRUE(pDeliveries->WaitIdle());
    EXPECT_EQ(pDeliveries->Finished(), (std::vector<std::string>{"E0"}));
}

TEST(DeliveryQueue, WithoutWorkersNothingWaits) {
    auto pDeliveries = std::make_shared<Deliveries>(Deliveries::Hold::None);
    DeliveryQueue queue(0, pDeliveries->Sink(), pDeliveries->Interrupt());
    queue.Post(Event("E0"));
    queue.Post(Event("E1"));
    const DeliveryQueue::Outcome outcome = queue.WaitAll(20s);
    EXPECT_FALSE(outcome.bComplete);
    EXPECT_EQ(outcome.nDropped, 2u);
    EXPECT_TRUE(queue.Shutdown(20s).bJoined);
    EXPECT_TRUE(pDeliveries->Finished().empty());
}
