#include "ZYNSysSemaphore.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <new>
#include <utility>

#include "ZYNSysRefCounted.h"

namespace {

constexpr int kAcquired = 0;
constexpr int kTimedOut = 1;
constexpr int kUnlimited = -1;
constexpr int kLargestCount = 0x7FFFFFFF;

int ResultOf(DWORD error) {
    const auto code = static_cast<LONG>(error);
    if (code <= 0) return code;
    return static_cast<int>((error & 0xFFFF) | 0x80070000u);
}

int ResultOfLastError() { return ResultOf(::GetLastError()); }

// An unnamed semaphore never exists already; a stale 183 from an earlier call must not make a
// good semaphore look like a failure, so the error is cleared first.
ZYNSysKernelHandle NewWin32Semaphore(int maxCount, int initialCount) {
    ::SetLastError(ERROR_SUCCESS);
    ZYNSysKernelHandle semaphore(::CreateSemaphoreW(nullptr, initialCount, maxCount, nullptr));
    if (semaphore && ::GetLastError() == ERROR_ALREADY_EXISTS) semaphore.Reset();
    return semaphore;
}

std::int64_t Magnitude(int value) { return value < 0 ? -static_cast<std::int64_t>(value) : value; }

}  // namespace

// The inner semaphore of the resizable kind: waiters pin it with a reference so that a resize
// can swap it out and release it while they still wait on it.
class ZYNSysRefWinSemaphore final : public ZYNSysWinSemaphore, public ZYNSysRefCounted {
public:
    ZYNSysRefWinSemaphore(ZYNSysKernelHandle semaphore, int maxCount)
        : ZYNSysWinSemaphore(std::move(semaphore), maxCount) {}

    // The logical count keeps the maximum. The system's bound is the largest count: units that
    // woken waiters took from the logical count stay in the new semaphore, and a resize's posts to
    // the old one must all land, or a waiter not yet blocked on it would sleep for ever.
    static ZYNSysRefWinSemaphore* Create(int maxCount, int initialCount) {
        if (maxCount < 1) return nullptr;  // as the system refuses it
        ZYNSysKernelHandle semaphore = NewWin32Semaphore(kLargestCount, initialCount);
        if (!semaphore) return nullptr;
        return new (std::nothrow) ZYNSysRefWinSemaphore(std::move(semaphore), maxCount);
    }

    void Pin() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    // One system call for any number of units.
    void PostMany(int units) {
        if (units > 0) ::ReleaseSemaphore(m_semaphore.Get(), units, nullptr);
    }
    int MaxCount() {
        int maxCount = 0;
        GetMaxCount(maxCount);
        return maxCount;
    }
};

ZYNSysSemaphore::ZYNSysSemaphore() = default;
ZYNSysSemaphore::~ZYNSysSemaphore() = default;

int ZYNSysSemaphore::IncreaseCount(int, int) { return E_NOTIMPL; }
int ZYNSysSemaphore::DecreaseCount(int) { return E_NOTIMPL; }
int ZYNSysSemaphore::GetCurrentCount(int&) const { return E_NOTIMPL; }

ZYNSysSemaphore* ZYNSysSemaphore::ZYNSysCreateSemaphore(int maxCount, int initialCount, char kind) {
    if (initialCount < 0 || maxCount < -1) return nullptr;
    if (maxCount >= 0 && initialCount > maxCount) return nullptr;
    if (maxCount == -1) maxCount = kLargestCount;
    if (kind == 0) {
        ZYNSysKernelHandle semaphore = NewWin32Semaphore(maxCount, initialCount);
        if (!semaphore) return nullptr;
        return new (std::nothrow) ZYNSysWinSemaphore(std::move(semaphore), maxCount);
    }
    if (kind == 1) {
        ZYNSysRefWinSemaphore* inner = ZYNSysRefWinSemaphore::Create(maxCount, initialCount);
        if (!inner) return nullptr;
        auto* semaphore = new (std::nothrow) ZYNSysResizableSemaphore(inner, initialCount);
        if (!semaphore) inner->Release();
        return semaphore;
    }
    return nullptr;
}

ZYNSysWinSemaphore::ZYNSysWinSemaphore(ZYNSysKernelHandle semaphore, int maxCount)
    : m_semaphore(std::move(semaphore)), m_maxCount(maxCount) {}

ZYNSysWinSemaphore::~ZYNSysWinSemaphore() = default;

int ZYNSysWinSemaphore::Wait() {
    if (::WaitForSingleObject(m_semaphore.Get(), INFINITE) == WAIT_OBJECT_0) return kAcquired;
    return ResultOfLastError();
}

int ZYNSysWinSemaphore::Wait(int timeoutMs) {
    if (timeoutMs == kUnlimited) return Wait();
    if (timeoutMs < 0) return E_INVALIDARG;
    const DWORD result = ::WaitForSingleObject(m_semaphore.Get(), static_cast<DWORD>(timeoutMs));
    if (result == WAIT_OBJECT_0) return kAcquired;
    if (result == WAIT_TIMEOUT) return kTimedOut;
    return ResultOfLastError();
}

int ZYNSysWinSemaphore::Post() {
    if (::ReleaseSemaphore(m_semaphore.Get(), 1, nullptr)) return 0;
    return ResultOfLastError();
}

int ZYNSysWinSemaphore::GetMaxCount(int& maxCount) {
    maxCount = m_maxCount;
    return 0;
}

ZYNSysResizableSemaphore::ZYNSysResizableSemaphore(ZYNSysRefWinSemaphore* inner, int count)
    : m_inner(inner), m_count(count) {}

ZYNSysResizableSemaphore::~ZYNSysResizableSemaphore() {
    if (m_inner) m_inner->Release();
}

int ZYNSysResizableSemaphore::Wait() { return Wait(kUnlimited); }

int ZYNSysResizableSemaphore::Wait(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    if (timeoutMs != kUnlimited && timeoutMs < 0) return E_INVALIDARG;
    // Every call keeps its own deadline: a wake-up by a resize waits only for what is left, so
    // resizes cannot stretch a time-out.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    m_mutex.Lock();
    while (ZYNSysRefWinSemaphore* inner = m_inner) {
        inner->Pin();
        ++m_waiters;
        m_mutex.Unlock();

        int waitMs = kUnlimited;
        if (timeoutMs != kUnlimited) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            waitMs = left < 0 ? 0 : static_cast<int>(left);
        }
        const int result = inner->Wait(waitMs);
        if (result == kTimedOut || result < 0) {
            inner->Release();
            return result;
        }

        bool done = false;
        m_mutex.Lock();
        if (m_count > 0) {
            --m_count;
            if (inner == m_inner) --m_waiters;
            done = true;
        }
        m_mutex.Unlock();
        inner->Release();
        if (done) return result;
        // Woken by a resize with nothing to take: wait again on the semaphore now current.
        m_mutex.Lock();
    }
    m_mutex.Unlock();
    return E_FAIL;
}

int ZYNSysResizableSemaphore::Post() {
    QORMutexHold lock(m_mutex);
    if (!m_inner || m_count >= m_inner->MaxCount()) return E_FAIL;
    ++m_count;
    const int result = m_inner->Post();
    // A unit the inner semaphore refused was never given: the count must not claim it.
    if (result != 0) --m_count;
    return result;
}

int ZYNSysResizableSemaphore::GetMaxCount(int& maxCount) {
    QORMutexHold lock(m_mutex);
    maxCount = m_inner ? m_inner->MaxCount() : 0;
    return 0;
}

int ZYNSysResizableSemaphore::IncreaseCount(int delta, int countDelta) {
    if (delta <= 0) return E_FAIL;
    return ChangeCount(delta, countDelta);
}

int ZYNSysResizableSemaphore::DecreaseCount(int delta) {
    if (delta >= 0) return E_FAIL;
    return ChangeCount(delta, delta);
}

int ZYNSysResizableSemaphore::GetCurrentCount(int& count) const {
    QORMutexHold lock(m_mutex);
    count = m_count;
    return 0;
}

int ZYNSysResizableSemaphore::ChangeCount(int delta, int countDelta) {
    // The magnitude of the smallest int does not fit an int, for either argument.
    if (delta == INT_MIN || countDelta == INT_MIN) return E_FAIL;
    if (Magnitude(countDelta) > Magnitude(delta)) return E_FAIL;
    if (delta == 0) return 1;

    ZYNSysRefWinSemaphore* old = nullptr;
    int waiters = 0;
    {
        QORMutexHold lock(m_mutex);
        if (!m_inner) return E_FAIL;
        const std::int64_t maxCount = m_inner->MaxCount();
        std::int64_t count = m_count;
        if (delta > 0) {
            if (maxCount + delta > kLargestCount || count + Magnitude(countDelta) > kLargestCount) return E_FAIL;
        } else if (maxCount + delta < 1 || Magnitude(delta) > count) {
            return E_FAIL;
        }
        if (countDelta != 0) count += delta > 0 ? Magnitude(countDelta) : delta;

        ZYNSysRefWinSemaphore* next =
            ZYNSysRefWinSemaphore::Create(static_cast<int>(maxCount + delta), static_cast<int>(count));
        if (!next) return E_FAIL;
        old = m_inner;
        m_inner = next;
        m_count = static_cast<int>(count);
        waiters = m_waiters;
        m_waiters = 0;
    }
    // Everyone blocked on the old semaphore wakes and tries again on the new one. The count also
    // holds waiters that timed out, so it can be large: one post of all of it.
    old->PostMany(waiters);
    old->Release();
    return 0;
}

ZYNSysKernelHandle* ZYNSysSemaphoreHandleForTest(ZYNSysSemaphore& semaphore) {
    if (auto* resizable = dynamic_cast<ZYNSysResizableSemaphore*>(&semaphore)) {
        QORMutexHold lock(resizable->m_mutex);
        return resizable->m_inner ? &static_cast<ZYNSysWinSemaphore*>(resizable->m_inner)->m_semaphore : nullptr;
    }
    auto* plain = dynamic_cast<ZYNSysWinSemaphore*>(&semaphore);
    return plain ? &plain->m_semaphore : nullptr;
}
