// The worker pool behind the event dispatcher: order, width, waiting,
// replacement of a dying worker and the two phases of shutting down.

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

// Records which tasks started, how many ran at once and on which threads;
// tasks block until the gate is opened.
class Recorder {
public:
    std::function<void()> Task(int nIndex, bool bGated) {
        return [this, nIndex, bGated] {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_started.push_back(nIndex);
            m_threads.insert(::GetCurrentThreadId());
            m_nMaxRunning = std::max(m_nMaxRunning, ++m_nRunning);
            m_changed.notify_all();
            if (bGated)
                m_changed.wait(lock, [this] { return m_bOpen; });
            --m_nRunning;
            ++m_nFinished;
        };
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bOpen = true;
        m_changed.notify_all();
    }
    bool WaitStarted(size_t nCount) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, 10s, [&] { return m_started.size() >= nCount; });
    }
    std::vector<int> Started() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_started;
    }
    int MaxRunning() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nMaxRunning;
    }
    int Finished() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nFinished;
    }
    std::set<DWORD> Threads() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_threads;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<int> m_started;
    std::set<DWORD> m_threads;
    int m_nRunning = 0;
    int m_nMaxRunning = 0;
    int m_nFinished = 0;
    bool m_bOpen = false;
};

std::shared_ptr<pool_core> MakePool(size_t nWorkers) {
    auto pPool = std::make_shared<pool_core>();
    EXPECT_TRUE(pPool->set_worker_count(nWorkers));
    return pPool;
}

} // namespace

TEST(PoolCore, OneWorkerRunsTasksInPostingOrder) {
    auto pPool = MakePool(1);
    Recorder recorder;
    for (int i = 0; i < 10; ++i)
        pPool->submit(recorder.Task(i, false));
    pPool->wait_until_idle(0);
    EXPECT_EQ(recorder.Started(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    pPool->shut_down();
}

TEST(PoolCore, SixWorkersTakeTheFirstSixTasksAndNoMore) {
    auto pPool = MakePool(6);
    Recorder recorder;
    for (int i = 0; i < 10; ++i)
        pPool->submit(recorder.Task(i, true));
    ASSERT_TRUE(recorder.WaitStarted(6));
    std::this_thread::sleep_for(300ms);
    std::vector<int> started = recorder.Started();
    std::sort(started.begin(), started.end());
    EXPECT_EQ(started, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(pPool->pending_count(), 4u);

    recorder.Open();
    pPool->wait_until_idle(0);
    EXPECT_EQ(recorder.Finished(), 10);
    EXPECT_EQ(recorder.MaxRunning(), 6);
    pPool->shut_down();
}

TEST(PoolCore, WaitUntilIdleReturnsOnlyAfterTheLastTaskHasEnded) {
    auto pPool = MakePool(6);
    pPool->wait_until_idle(0); // nothing posted: returns once the workers are idle
    EXPECT_EQ(pPool->active_count(), 0u);

    Recorder recorder;
    for (int i = 0; i < 8; ++i)
        pPool->submit(recorder.Task(i, true));
    std::thread opener([&] {
        std::this_thread::sleep_for(300ms);
        recorder.Open();
    });
    pPool->wait_until_idle(0);
    EXPECT_EQ(recorder.Finished(), 8);
    opener.join();
    pPool->shut_down();
}

TEST(PoolCore, AWorkerWhoseTaskThrowsIsReplaced) {
    auto pPool = MakePool(6);
    pPool->submit([] { throw std::runtime_error("task failed"); });
    pPool->wait_until_idle(0);
    EXPECT_EQ(pPool->worker_count(), 6u);

    // Six live workers: six gated tasks all start.
    Recorder recorder;
    for (int i = 0; i < 6; ++i)
        pPool->submit(recorder.Task(i, true));
    EXPECT_TRUE(recorder.WaitStarted(6));
    recorder.Open();
    pPool->wait_until_idle(0);
    EXPECT_EQ(recorder.Finished(), 6);
    pPool->shut_down();
    EXPECT_EQ(pPool->worker_count(), 0u);
}

TEST(PoolCore, ShutDownDrainsTheQueueAndJoinsEveryWorker) {
    auto pPool = MakePool(6);
    Recorder recorder;
    for (int i = 0; i < 6; ++i)
        pPool->submit(recorder.Task(i, true));
    ASSERT_TRUE(recorder.WaitStarted(6));
    std::vector<UniqueHandle> threads;
    for (DWORD id : recorder.Threads())
        threads.emplace_back(::OpenThread(SYNCHRONIZE, FALSE, id));
    ASSERT_EQ(threads.size(), 6u);

    std::thread stopper([&] { pPool->shut_down(); });
    std::this_thread::sleep_for(200ms);
    // Posted while the shutdown still waits for the queue: delivered.
    pPool->submit(recorder.Task(6, false));
    recorder.Open();
    stopper.join();
    EXPECT_EQ(recorder.Finished(), 7);

    // Every worker thread has ended by the time shut_down returns: the idle
    // ones are waited for and joined as well.
    for (const UniqueHandle& thread : threads) {
        ASSERT_TRUE(thread);
        EXPECT_EQ(::WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
    }

    // Submitted after the stop phase: never run.
    pPool->submit(recorder.Task(7, false));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder.Finished(), 7);
    EXPECT_FALSE(pPool->set_worker_count(6));
}

TEST(PoolCore, APoolWithoutWorkersDoesNotBlockItsWaiters) {
    auto pPool = std::make_shared<pool_core>();
    Recorder recorder;
    pPool->submit(recorder.Task(0, false));
    pPool->wait_until_idle(0);
    pPool->shut_down();
    EXPECT_EQ(recorder.Finished(), 0);
}

TEST(PoolCore, ABoundedStopJoinsIdleWorkersAndLeavesAStuckOneBehind) {
    auto pPool = MakePool(3);
    auto pRecorder = std::make_shared<Recorder>();
    pPool->submit(pRecorder->Task(0, true));
    ASSERT_TRUE(pRecorder->WaitStarted(1));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pPool->stop_all_workers_within(200ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(pPool->worker_count(), 1u);

    pRecorder->Open();
    EXPECT_TRUE(pPool->stop_all_workers_within(10s));
    EXPECT_EQ(pPool->worker_count(), 0u);
}
