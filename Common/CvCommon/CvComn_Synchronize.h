#pragma once

#include "CvComn_Handle.h"

#include <windows.h>

#include <atomic>

namespace CvCommon {
namespace Synchronize {

// Anything SingleLock can hold.
class Lockable {
public:
    virtual ~Lockable() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

class CriticalSection : public Lockable {
public:
    CriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ~CriticalSection() override { ::DeleteCriticalSection(&m_cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Lock() override { ::EnterCriticalSection(&m_cs); }
    void Unlock() override { ::LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

// Scoped lock: locks on construction, unlocks on destruction.
class SingleLock {
public:
    explicit SingleLock(Lockable* pLockable) : m_pLockable(pLockable) {
        if (m_pLockable)
            m_pLockable->Lock();
    }
    virtual ~SingleLock() {
        if (m_pLockable)
            m_pLockable->Unlock();
    }
    SingleLock(const SingleLock&) = delete;
    SingleLock& operator=(const SingleLock&) = delete;

private:
    Lockable* m_pLockable;
};

// A one-way stop request: one thread sets it, the threads doing the work read
// it between steps or wait on its event together with their own. Once set it
// stays set.
class CancelSignal {
public:
    CancelSignal() noexcept : m_hEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    CancelSignal(const CancelSignal&) = delete;
    CancelSignal& operator=(const CancelSignal&) = delete;

    void Set() noexcept {
        m_bSet.store(true);
        if (m_hEvent)
            ::SetEvent(m_hEvent.get());
    }
    bool IsSet() const noexcept { return m_bSet.load(); }

    // Manual-reset event, signalled once Set ran; null when it could not be
    // made (then only IsSet tells).
    HANDLE Event() const noexcept { return m_hEvent.get(); }

    // Sleeps up to dwMs; true when the signal was set before or meanwhile.
    bool WaitFor(DWORD dwMs) const noexcept {
        if (IsSet())
            return true;
        if (m_hEvent)
            return ::WaitForSingleObject(m_hEvent.get(), dwMs) == WAIT_OBJECT_0;
        ::Sleep(dwMs);
        return IsSet();
    }

private:
    std::atomic<bool> m_bSet{false};
    Handle::UniqueHandle m_hEvent;
};

} // namespace Synchronize
} // namespace CvCommon
