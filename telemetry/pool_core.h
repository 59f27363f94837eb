#pragma once
// A fixed pool of worker threads that run queued tasks. The core is shared
// between its owner and every worker, so it outlives the last worker.
//
// Its policies: fifo_scheduler (tasks run in the order submitted),
// static_size (a worker that dies is replaced), resize_controller (the owner
// sets the size) and wait_for_all_tasks (shutting down drains the queue
// first).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace threadpool {

using task_func = std::function<void()>;

class pool_core;

class worker_thread : public std::enable_shared_from_this<worker_thread> {
public:
    explicit worker_thread(const std::shared_ptr<pool_core>& pPool);
    ~worker_thread();
    worker_thread(const worker_thread&) = delete;
    worker_thread& operator=(const worker_thread&) = delete;

    // Starts a worker for the pool; false when no thread can be created.
    static bool create_and_attach(const std::shared_ptr<pool_core>& pPool);
    void join();

private:
    // The thread's body: runs tasks until the pool lets the worker go. No
    // exception leaves it.
    void run();

    std::shared_ptr<pool_core> m_pPool;
    std::thread m_thread;
};

class pool_core : public std::enable_shared_from_this<pool_core> {
public:
    pool_core();
    pool_core(const pool_core&) = delete;
    pool_core& operator=(const pool_core&) = delete;

    // Queues the task at the back and wakes one idle worker; always true.
    bool submit(task_func task);
    // Blocks until at most `threshold` tasks are running or queued (0: the
    // queue is empty and no worker runs a task). Returns at once when the
    // pool has no workers, since nothing would ever empty the queue.
    void wait_until_idle(size_t threshold = 0);
    // Starts workers up to nCount, or lets surplus workers leave. False when
    // the pool is stopping or a thread cannot be created.
    bool set_worker_count(size_t nCount);
    // Lets every worker leave once its current task has ended; tasks still
    // queued are not run. With bJoin, waits until every worker has left and
    // joins all of their threads. Not to be called from a task.
    void stop_all_workers(bool bJoin);
    // Lets every worker leave like stop_all_workers, waits at most `bound`
    // for them to leave and joins those that did. True when every worker has
    // left and been joined; a worker still running a task after the bound is
    // left to end on its own.
    bool stop_all_workers_within(std::chrono::milliseconds bound);
    // Drains the queue, then stops and joins all workers.
    void shut_down();

    size_t worker_count() const;
    size_t active_count() const;
    size_t pending_count() const;

private:
    friend class worker_thread;

    // One step of a worker: false when the worker is to leave.
    bool take_and_run_task();
    // Bookkeeping of a worker that left its loop; bUnexpected when a task
    // ended by an exception, in which case a replacement is started.
    void worker_left(const std::shared_ptr<worker_thread>& pWorker, bool bUnexpected);

    size_t m_nWorkers;
    size_t m_nTargetWorkers;
    size_t m_nActiveWorkers;
    std::deque<task_func> m_tasks;
    bool m_bTerminateAll;
    // Workers that have left their loop and wait to be joined.
    std::list<std::shared_ptr<worker_thread>> m_terminatedWorkers;
    mutable std::recursive_mutex m_monitor;
    std::condition_variable_any m_taskOrTerminate;
    std::condition_variable_any m_idleOrTerminated;
};

// Shuts the pool down when released.
class shutdown_controller {
public:
    explicit shutdown_controller(const std::shared_ptr<pool_core>& pPool) : m_pPool(pPool) {}
    ~shutdown_controller();
    shutdown_controller(const shutdown_controller&) = delete;
    shutdown_controller& operator=(const shutdown_controller&) = delete;

private:
    std::shared_ptr<pool_core> m_pPool;
};

} // namespace threadpool
