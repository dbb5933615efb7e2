#pragma once
// Mutex handles over a critical section (recursive) or a slim reader/writer lock (not
// recursive: relocking from the owner deadlocks, and TryLock answers 1 to the owner too).
// Nothing throws or reports an error: a handle whose implementation could not be made does
// nothing, and its TryLock answers 1. Copies share one implementation.

#include "QORSysExport.h"
#include "ZYNSysShared.h"
#include "ZYNSysWin.h"

class QOR_SYS_API QORMutexImpl : public ZYNSysSharedRecord {
public:
    virtual ~QORMutexImpl();
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // 0 = acquired, 1 = busy.
    virtual int TryLock() = 0;

protected:
    constexpr QORMutexImpl() noexcept = default;
    constexpr explicit QORMutexImpl(long holders) noexcept : ZYNSysSharedRecord(holders) {}
};

class QOR_SYS_API QORMutexCS : public QORMutexImpl {
public:
    QORMutexCS();
    ~QORMutexCS() override;
    void Lock() override;
    void Unlock() override;
    int TryLock() override;

private:
    CRITICAL_SECTION section_;
};

class QOR_SYS_API QORMutexSRW : public QORMutexImpl {
public:
    // NULL when the entry points are missing or memory is short.
    static QORMutexSRW* Create();
    ~QORMutexSRW() override;
    void Lock() override;
    void Unlock() override;
    int TryLock() override;

private:
    QORMutexSRW();
    SRWLOCK lock_;
};

class QOR_SYS_API QORMutex {
public:
    // A recursive flag of 0 selects the slim lock; the third argument is ignored.
    QORMutex(int lockNow = 0, int recursive = 1, int reserved = 0);
    QORMutex(const QORMutex& other);
    QORMutex& operator=(const QORMutex& other);
    ~QORMutex();

    // Builds the implementation unless there is one already; the first argument is ignored.
    void _Initialize(int reserved, int recursive);
    void Lock();
    void Unlock();
    int TryLock();
    int IsCreated() const;

    static void (QORMutex::*const LockF)();
    static void (QORMutex::*const UnlockF)();
    static int (QORMutex::*const TryLockF)();
    // A process-wide critical-section mutex, usable from any static initialiser.
    static QORMutex _mutexGlobal;

private:
    constexpr explicit QORMutex(QORMutexImpl* impl) noexcept : impl_(impl) {}
    QORMutexImpl* impl_ = nullptr;
};

// Holds a mutex for a scope: the framework's own code locks this way.
class QORMutexHold {
public:
    explicit QORMutexHold(QORMutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~QORMutexHold() { mutex_.Unlock(); }
    QORMutexHold(const QORMutexHold&) = delete;
    QORMutexHold& operator=(const QORMutexHold&) = delete;

private:
    QORMutex& mutex_;
};

// Always recursive; the int lands in the ignored third argument.
class QOR_SYS_API QORSmartMutex : public QORMutex {
public:
    QORSmartMutex(int reserved = 0);
};

// Operation 1 locks the process-wide recursive mutex (answers 1), 2 unlocks it (answers 0);
// anything else, a name or a reserved value answers -1 and does nothing.
QOR_SYS_API int QORSysMTGlobalMutex(int operation, const char* name, int reserved);
// Mode 0 stores a new recursive mutex; mode 1 does so once, safely from many threads; other
// modes do nothing.
QOR_SYS_API void ZYNCreateMutex(QORMutex*& target, unsigned long mode);
QOR_SYS_API void ZYNMemoryBarrier();

// Mutex implementations alive in the process: lets tests see that copies free theirs once.
long QORMutexLiveImplCount();
