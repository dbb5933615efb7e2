#pragma once
// Counting semaphores behind one interface, made by one factory in two kinds: 0, a plain Win32
// semaphore; 1, a resizable semaphore whose maximum and count change while threads wait on it.
// Results are HRESULTs (0 success) unless a comment says otherwise; nothing throws.

#include "QORMutex.h"
#include "QORSysExport.h"
#include "ZYNSysKernelHandle.h"

class QOR_SYS_API ZYNSysSemaphore {
public:
    virtual ~ZYNSysSemaphore();
    // Waits without limit: 0 when acquired.
    virtual int Wait() = 0;
    // -1 waits without limit; 0 acquired, 1 time-out, other negative time-outs E_INVALIDARG.
    virtual int Wait(int timeoutMs) = 0;
    virtual int Post() = 0;
    virtual int GetMaxCount(int& maxCount) = 0;
    // The plain kind cannot resize: these answer E_NOTIMPL.
    virtual int IncreaseCount(int delta, int countDelta);
    virtual int DecreaseCount(int delta);
    virtual int GetCurrentCount(int& count) const;

    // NULL for a negative initial count, a maximum below -1 (-1 = 0x7FFFFFFF), an initial count
    // above the maximum, an unknown kind or a semaphore that cannot be made. The caller deletes it.
    static ZYNSysSemaphore* ZYNSysCreateSemaphore(int maxCount, int initialCount, char kind);

    ZYNSysSemaphore(const ZYNSysSemaphore&) = delete;
    ZYNSysSemaphore& operator=(const ZYNSysSemaphore&) = delete;

protected:
    ZYNSysSemaphore();
};

// Kind 0.
class QOR_SYS_API ZYNSysWinSemaphore : public ZYNSysSemaphore {
public:
    ZYNSysWinSemaphore(ZYNSysKernelHandle semaphore, int maxCount);
    ~ZYNSysWinSemaphore() override;

    int Wait() override;
    int Wait(int timeoutMs) override;
    // Fails with the Win32 error (298 as an HRESULT) past the maximum.
    int Post() override;
    int GetMaxCount(int& maxCount) override;

private:
    friend ZYNSysKernelHandle* ZYNSysSemaphoreHandleForTest(ZYNSysSemaphore& semaphore);
    friend class ZYNSysRefWinSemaphore;
    ZYNSysKernelHandle m_semaphore;
    int m_maxCount;
};

class ZYNSysRefWinSemaphore;

// Kind 1. The logical count is the truth; the inner Win32 semaphore only wakes waiters, and a
// resize swaps in a new one and wakes everyone blocked on the old.
class QOR_SYS_API ZYNSysResizableSemaphore : public ZYNSysSemaphore {
public:
    // Takes over the inner semaphore's reference; count is the logical count to start from.
    ZYNSysResizableSemaphore(ZYNSysRefWinSemaphore* inner, int count);
    ~ZYNSysResizableSemaphore() override;

    int Wait() override;
    int Wait(int timeoutMs) override;
    // E_FAIL when the count has reached the maximum.
    int Post() override;
    int GetMaxCount(int& maxCount) override;
    // delta > 0, |countDelta| <= delta: the maximum grows by delta, the count by |countDelta|.
    int IncreaseCount(int delta, int countDelta) override;
    // delta < 0: the maximum and the count shrink by |delta|.
    int DecreaseCount(int delta) override;
    int GetCurrentCount(int& count) const override;

    // E_FAIL for a refused change, 1 for a delta of 0, 0 once the new inner semaphore is in place.
    int ChangeCount(int delta, int countDelta);

private:
    friend ZYNSysKernelHandle* ZYNSysSemaphoreHandleForTest(ZYNSysSemaphore& semaphore);
    // No timer here: each timed wait keeps its own deadline, so waiters share no clock state.
    int m_waiters = 0;
    ZYNSysRefWinSemaphore* m_inner;
    int m_count;
    mutable QORMutex m_mutex{0, 1, 0};
};

// Tests only: the owner of the Win32 semaphore (the current inner one of a resizable
// semaphore), to close it behind the object's back; NULL when there is none.
ZYNSysKernelHandle* ZYNSysSemaphoreHandleForTest(ZYNSysSemaphore& semaphore);
