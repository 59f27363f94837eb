#pragma once

#include <windows.h>

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

} // namespace Synchronize
} // namespace CvCommon
