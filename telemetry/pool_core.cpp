#include "pool_core.h"

#include <utility>

namespace threadpool {

worker_thread::worker_thread(const std::shared_ptr<pool_core>& pPool) : m_pPool(pPool) {}

worker_thread::~worker_thread() {
    // Only a worker that was never joined gets here with a live thread (it
    // released itself at the end of its own thread); let that thread finish.
    if (m_thread.joinable())
        m_thread.detach();
}

bool worker_thread::create_and_attach(const std::shared_ptr<pool_core>& pPool) {
    try {
        auto pWorker = std::make_shared<worker_thread>(pPool);
        // The thread keeps its worker alive until it has run to its end.
        pWorker->m_thread = std::thread([pWorker] { pWorker->run(); });
        return true;
    } catch (...) {
        return false;
    }
}

void worker_thread::join() {
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

void worker_thread::run() {
    bool bUnexpected = false;
    try {
        while (m_pPool->take_and_run_task()) {
        }
    } catch (...) {
        bUnexpected = true;
    }
    try {
        m_pPool->worker_left(shared_from_this(), bUnexpected);
    } catch (...) {
    }
}

pool_core::pool_core()
    : m_nWorkers(0), m_nTargetWorkers(0), m_nActiveWorkers(0), m_bTerminateAll(false) {}

bool pool_core::submit(task_func task) {
    std::lock_guard<std::recursive_mutex> lock(m_monitor);
    m_tasks.push_back(std::move(task));
    m_taskOrTerminate.notify_one();
    return true;
}

void pool_core::wait_until_idle(size_t threshold) {
    std::unique_lock<std::recursive_mutex> lock(m_monitor);
    if (threshold == 0) {
        while (m_nWorkers > 0 && (m_nActiveWorkers != 0 || !m_tasks.empty()))
            m_idleOrTerminated.wait(lock);
    } else {
        while (m_nWorkers > 0 && threshold < m_nActiveWorkers + m_tasks.size())
            m_idleOrTerminated.wait(lock);
    }
}

bool pool_core::set_worker_count(size_t nCount) {
    std::lock_guard<std::recursive_mutex> lock(m_monitor);
    if (m_bTerminateAll)
        return false;
    m_nTargetWorkers = nCount;
    while (m_nWorkers < m_nTargetWorkers) {
        if (!worker_thread::create_and_attach(shared_from_this()))
            return false;
        // A new worker counts as active until it first finds the queue empty.
        ++m_nWorkers;
        ++m_nActiveWorkers;
    }
    if (m_nTargetWorkers < m_nWorkers)
        m_taskOrTerminate.notify_all();
    return true;
}

void pool_core::stop_all_workers(bool bJoin) {
    std::list<std::shared_ptr<worker_thread>> workers;
    {
        std::unique_lock<std::recursive_mutex> lock(m_monitor);
        m_bTerminateAll = true;
        m_nTargetWorkers = 0;
        m_taskOrTerminate.notify_all();
        if (!bJoin)
            return;
        // Idle workers still have to wake up and leave; wait for every one of
        // them, not only for those running a task, so that all get joined.
        while (m_nWorkers > 0)
            m_idleOrTerminated.wait(lock);
        workers.swap(m_terminatedWorkers);
    }
    for (const auto& pWorker : workers)
        pWorker->join();
}

bool pool_core::stop_all_workers_within(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::list<std::shared_ptr<worker_thread>> workers;
    bool bAllLeft = false;
    {
        std::unique_lock<std::recursive_mutex> lock(m_monitor);
        m_bTerminateAll = true;
        m_nTargetWorkers = 0;
        m_taskOrTerminate.notify_all();
        bAllLeft =
            m_idleOrTerminated.wait_until(lock, deadline, [this] { return m_nWorkers == 0; });
        workers.swap(m_terminatedWorkers);
    }
    // A worker on this list has left its loop: its thread only returns.
    for (const auto& pWorker : workers)
        pWorker->join();
    return bAllLeft;
}

void pool_core::shut_down() {
    wait_until_idle(0);
    stop_all_workers(true);
}

size_t pool_core::worker_count() const {
    std::lock_guard<std::recursive_mutex> lock(m_monitor);
    return m_nWorkers;
}

size_t pool_core::active_count() const {
    std::lock_guard<std::recursive_mutex> lock(m_monitor);
    return m_nActiveWorkers;
}

size_t pool_core::pending_count() const {
    std::lock_guard<std::recursive_mutex> lock(m_monitor);
    return m_tasks.size();
}

bool pool_core::take_and_run_task() {
    task_func task;
    {
        std::unique_lock<std::recursive_mutex> lock(m_monitor);
        if (m_nWorkers > m_nTargetWorkers)
            return false;
        while (m_tasks.empty()) {
            if (m_nWorkers > m_nTargetWorkers)
                return false;
            --m_nActiveWorkers;
            m_idleOrTerminated.notify_all();
            m_taskOrTerminate.wait(lock);
            ++m_nActiveWorkers;
        }
        task = std::move(m_tasks.front());
        m_tasks.pop_front();
    }
    if (task)
        task();
    return true;
}

void pool_core::worker_left(const std::shared_ptr<worker_thread>& pWorker, bool bUnexpected) {
    std::lock_guard<std::recursive_mutex> lock(m_monitor);
    --m_nWorkers;
    --m_nActiveWorkers;
    m_idleOrTerminated.notify_all();
    // A worker that died is kept for joining as well, so that no thread of
    // the pool is ever left unjoined.
    if (m_bTerminateAll || bUnexpected)
        m_terminatedWorkers.push_back(pWorker);
    if (bUnexpected && !m_bTerminateAll)
        set_worker_count(m_nWorkers + 1);
}

shutdown_controller::~shutdown_controller() {
    try {
        m_pPool->shut_down();
    } catch (...) {
    }
}

} // namespace threadpool
