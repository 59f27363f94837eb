#include "SendLock.h"

SendLock::SendPtr SendLock::NewSend() {
    return std::make_shared<Send>();
}

bool SendLock::Acquire(const SendPtr& pSend, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock<std::mutex> lock(m_mutex);
    ++m_nWaiting;
    m_changed.wait_until(lock, deadline, [&] { return !m_bHeld || pSend->m_bAbandoned; });
    --m_nWaiting;
    if (m_bHeld || pSend->m_bAbandoned || pSend->m_stage != Send::Stage::Waiting) {
        pSend->m_stage = Send::Stage::Ended;
        m_changed.notify_all();
        return false;
    }
    m_bHeld = true;
    pSend->m_stage = Send::Stage::Sending;
    return true;
}

void SendLock::End(const SendPtr& pSend) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pSend->m_stage == Send::Stage::Sending)
        m_bHeld = false;
    pSend->m_stage = Send::Stage::Ended;
    m_changed.notify_all();
}

bool SendLock::WaitEnded(const SendPtr& pSend, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::unique_lock<std::mutex> lock(m_mutex);
    const unsigned long long ullRound = m_ullAbandonRound;
    const bool bEnded = m_changed.wait_until(lock, deadline, [&] {
        return pSend->m_stage == Send::Stage::Ended || m_ullAbandonRound != ullRound;
    });
    if (bEnded && pSend->m_stage == Send::Stage::Ended)
        return true;
    pSend->m_bAbandoned = true;
    // A thread still waiting for the lock gives up now.
    m_changed.notify_all();
    return false;
}

void SendLock::AbandonWaits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_ullAbandonRound;
    m_changed.notify_all();
}

size_t SendLock::WaitingCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nWaiting;
}
