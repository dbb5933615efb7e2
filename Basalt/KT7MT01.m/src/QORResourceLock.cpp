#include "QORResourceLock.h"

#include <atomic>
#include <new>

#include "QORSysMTTrace.h"
#include "ZYNSysSRWLockAPI.h"

namespace {

std::atomic<long> g_liveImpls{0};

// The slim reader/writer locks' own copy of the entry points, loaded once per process.
ZYNSysSRWLockCopy g_srw;

QORResourceLockImpl* NewImpl(unsigned char useWaitingPoint) {
    if (useWaitingPoint == 0) {
        if (QORResourceLockImpl* slim = QORResourceLockSRW::Create()) return slim;
    }
    return new (std::nothrow) QORResourceLockWP;
}

}  // namespace

long QORResourceLockLiveImplCount() { return g_liveImpls.load(); }

QORResourceLockImpl::~QORResourceLockImpl() = default;

QORResourceLockWP::QORResourceLockWP() : mutex_(0, 1, 0), point_(0, -1) { ++g_liveImpls; }

QORResourceLockWP::~QORResourceLockWP() {
    point_.Broadcast();
    --g_liveImpls;
}

void QORResourceLockWP::ReadLock() {
    mutex_.Lock();
    ++readers_;
    mutex_.Unlock();
}

void QORResourceLockWP::ReadUnlock() {
    mutex_.Lock();
    // A stray unlock must not wrap the count: writers would then wait forever, or enter
    // beside the next reader.
    if (readers_ > 0 && --readers_ == 0 && waitingWriters_ > 0) point_.Broadcast();
    mutex_.Unlock();
}

void QORResourceLockWP::WriteLock() {
    mutex_.Lock();
    while (readers_ != 0) {
        point_.Reset();
        ++waitingWriters_;
        mutex_.Unlock();
        // A point that cannot wait (no event) answers at once: no spinning against the readers.
        if (point_.Wait(-1) != 0) ::Sleep(1);
        mutex_.Lock();
        --waitingWriters_;
    }
}

void QORResourceLockWP::WriteUnlock() {
    mutex_.Unlock();
    point_.Broadcast();
}

QORResourceLockSRW* QORResourceLockSRW::Create() {
    if (g_srw.Load() < 0) return nullptr;
    return new (std::nothrow) QORResourceLockSRW;
}

QORResourceLockSRW::QORResourceLockSRW() {
    g_srw.table.initialize(&lock_);
    ++g_liveImpls;
}

QORResourceLockSRW::~QORResourceLockSRW() { --g_liveImpls; }

void QORResourceLockSRW::ReadLock() { g_srw.table.acquireShared(&lock_); }
void QORResourceLockSRW::ReadUnlock() { g_srw.table.releaseShared(&lock_); }
void QORResourceLockSRW::WriteLock() { g_srw.table.acquireExclusive(&lock_); }
void QORResourceLockSRW::WriteUnlock() { g_srw.table.releaseExclusive(&lock_); }

QORResourceLock::QORResourceLock(unsigned char useWaitingPoint) : impl_(NewImpl(useWaitingPoint)) {}

QORResourceLock::QORResourceLock(const QORResourceLock& other) : impl_(ZYNSysShareRecord(other.impl_)) {}

QORResourceLock& QORResourceLock::operator=(const QORResourceLock& other) {
    ZYNSysAssignRecord(impl_, other.impl_);
    return *this;
}

QORResourceLock::~QORResourceLock() { ZYNSysReleaseRecord(impl_); }

void QORResourceLock::ReadLock() {
    if (!impl_) return;
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=readW | m=0x%x \n", ZYNSysMTTraceId(this));
    impl_->ReadLock();
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=readS | m=0x%x \n", ZYNSysMTTraceId(this));
}

void QORResourceLock::ReadUnlock() {
    if (!impl_) return;
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=readU | m=0x%x \n", ZYNSysMTTraceId(this));
    impl_->ReadUnlock();
}

void QORResourceLock::WriteLock() {
    if (!impl_) return;
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=writW | m=0x%x \n", ZYNSysMTTraceId(this));
    impl_->WriteLock();
    if (ZYNSysMTTraceOn()) QORSysMTTrace("evt=writS | m=0x%x \n", ZYNSysMTTraceId(this));
}

void QORResourceLock::WriteUnlock() {
    if (impl_) impl_->WriteUnlock();
}

void ZYNCreateResourceLock(QORResourceLock*& target, unsigned long mode) {
    if (mode == 0) {
        target = new (std::nothrow) QORResourceLock(1);
        return;
    }
    if (mode != 1) return;
    std::atomic_ref<QORResourceLock*> shared(target);
    ZYNMemoryBarrier();
    if (shared.load(std::memory_order_acquire)) return;
    QORSysMTGlobalMutex(1, nullptr, 0);
    if (!shared.load(std::memory_order_relaxed)) {
        QORResourceLock* made = new (std::nothrow) QORResourceLock(1);
        ZYNMemoryBarrier();
        shared.store(made, std::memory_order_release);
    }
    QORSysMTGlobalMutex(2, nullptr, 0);
}
