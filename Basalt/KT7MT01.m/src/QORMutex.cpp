#include "QORMutex.h"

#include <atomic>
#include <new>

#include "ZYNSysSRWLockAPI.h"

namespace {

std::atomic<long> g_liveImpls{0};

// The slim mutexes' own copy of the entry points, loaded once per process.
ZYNSysSRWLockCopy g_srw;

QORMutexImpl* NewImpl(int recursive) {
    if (recursive == 0) {
        if (QORMutexImpl* slim = QORMutexSRW::Create()) return slim;
    }
    return new (std::nothrow) QORMutexCS;
}

// _mutexGlobal must work from any static initialiser, whatever the order of files: the handle is
// constant-initialised over this object, and the critical section is built on first use.
class GlobalImpl final : public QORMutexImpl {
public:
    constexpr GlobalImpl() noexcept : QORMutexImpl(2) {}  // never deleted: it holds itself
    void Lock() override { Section().Lock(); }
    void Unlock() override { Section().Unlock(); }
    int TryLock() override { return Section().TryLock(); }

private:
    static QORMutexCS& Section() {
        static QORMutexCS section;
        return section;
    }
};

constinit GlobalImpl g_globalImpl;

std::atomic<long> g_barrierWord{0};

}  // namespace

long QORMutexLiveImplCount() { return g_liveImpls.load(); }

QORMutexImpl::~QORMutexImpl() = default;

QORMutexCS::QORMutexCS() {
    ::InitializeCriticalSection(&section_);
    ++g_liveImpls;
}

QORMutexCS::~QORMutexCS() {
    ::DeleteCriticalSection(&section_);
    --g_liveImpls;
}

void QORMutexCS::Lock() { ::EnterCriticalSection(&section_); }
void QORMutexCS::Unlock() { ::LeaveCriticalSection(&section_); }
int QORMutexCS::TryLock() { return ::TryEnterCriticalSection(&section_) ? 0 : 1; }

QORMutexSRW* QORMutexSRW::Create() {
    if (g_srw.Load() < 0) return nullptr;
    return new (std::nothrow) QORMutexSRW;
}

QORMutexSRW::QORMutexSRW() {
    g_srw.table.initialize(&lock_);
    ++g_liveImpls;
}

QORMutexSRW::~QORMutexSRW() { --g_liveImpls; }

void QORMutexSRW::Lock() { g_srw.table.acquireExclusive(&lock_); }
void QORMutexSRW::Unlock() { g_srw.table.releaseExclusive(&lock_); }
int QORMutexSRW::TryLock() { return g_srw.table.tryAcquireExclusive(&lock_) ? 0 : 1; }

void (QORMutex::*const QORMutex::LockF)() = &QORMutex::Lock;
void (QORMutex::*const QORMutex::UnlockF)() = &QORMutex::Unlock;
int (QORMutex::*const QORMutex::TryLockF)() = &QORMutex::TryLock;
constinit QORMutex QORMutex::_mutexGlobal{&g_globalImpl};

QORMutex::QORMutex(int lockNow, int recursive, int) {
    _Initialize(0, recursive);
    if (lockNow != 0) Lock();
}

QORMutex::QORMutex(const QORMutex& other) : impl_(ZYNSysShareRecord(other.impl_)) {}

QORMutex& QORMutex::operator=(const QORMutex& other) {
    ZYNSysAssignRecord(impl_, other.impl_);
    return *this;
}

QORMutex::~QORMutex() { ZYNSysReleaseRecord(impl_); }

void QORMutex::_Initialize(int, int recursive) {
    if (!impl_) impl_ = NewImpl(recursive);
}

void QORMutex::Lock() {
    if (impl_) impl_->Lock();
}

void QORMutex::Unlock() {
    if (impl_) impl_->Unlock();
}

int QORMutex::TryLock() { return impl_ ? impl_->TryLock() : 1; }

int QORMutex::IsCreated() const { return impl_ != nullptr; }

QORSmartMutex::QORSmartMutex(int reserved) : QORMutex(0, 1, reserved) {}

int QORSysMTGlobalMutex(int operation, const char* name, int reserved) {
    // Built on first use, so any static initialiser may call it.
    static QORMutex mutex(0, 1, 0);
    if (name || reserved != 0) return -1;
    if (operation == 1) {
        mutex.Lock();
        return 1;
    }
    if (operation == 2) {
        mutex.Unlock();
        return 0;
    }
    return -1;
}

void ZYNCreateMutex(QORMutex*& target, unsigned long mode) {
    if (mode == 0) {
        target = new (std::nothrow) QORMutex(0, 1, 0);
        return;
    }
    if (mode != 1) return;
    std::atomic_ref<QORMutex*> shared(target);
    ZYNMemoryBarrier();
    if (shared.load(std::memory_order_acquire)) return;
    QORSysMTGlobalMutex(1, nullptr, 0);
    if (!shared.load(std::memory_order_relaxed)) {
        QORMutex* made = new (std::nothrow) QORMutex(0, 1, 0);
        ZYNMemoryBarrier();
        shared.store(made, std::memory_order_release);
    }
    QORSysMTGlobalMutex(2, nullptr, 0);
}

void ZYNMemoryBarrier() { g_barrierWord.exchange(0, std::memory_order_seq_cst); }
