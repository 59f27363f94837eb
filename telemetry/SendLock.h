#pragma once
// The lock that lets the analytics sends go out one at a time, with bounded
// waits on both sides: a send thread waits a limited time for the lock, and
// the sender that started it waits a limited time for it to end. A send whose
// sender stopped waiting is abandoned: if it has not begun, it never begins;
// if it has, it runs on to its end without anybody waiting.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

class SendLock {
public:
    // One send, shared (reference counted) by its sender and its thread, so
    // that an abandoned thread never touches memory its sender has freed.
    class Send {
    private:
        friend class SendLock;
        enum class Stage { Waiting, Sending, Ended };
        Stage m_stage = Stage::Waiting;
        bool m_bAbandoned = false;
    };
    using SendPtr = std::shared_ptr<Send>;

    SendLock() = default;
    SendLock(const SendLock&) = delete;
    SendLock& operator=(const SendLock&) = delete;

    // A new send, not yet begun. Throws std::bad_alloc.
    static SendPtr NewSend();

    // The send thread: waits until the lock is free, at most `bound`, and
    // takes it. False (lock not taken, send ended) when the bound passed or
    // the sender abandoned the send first.
    bool Acquire(const SendPtr& pSend, std::chrono::milliseconds bound);
    // The send thread, at its end: releases the lock if this send holds it
    // and marks the send ended.
    void End(const SendPtr& pSend);

    // The sender: waits until the send has ended, at most `bound`, or until
    // AbandonWaits. True when it ended; otherwise it is abandoned.
    bool WaitEnded(const SendPtr& pSend, std::chrono::milliseconds bound);
    // Ends every WaitEnded now in progress as if its bound had passed.
    void AbandonWaits();

    // Send threads waiting for the lock.
    size_t WaitingCount() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bHeld = false;
    size_t m_nWaiting = 0;
    // Counts the calls of AbandonWaits; a wait ends when it changes.
    unsigned long long m_ullAbandonRound = 0;
};
