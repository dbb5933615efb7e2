#pragma once
// Reader/writer lock handles: any number of readers or one writer, over a waiting point and a
// reader count (recursive, works everywhere) or a slim reader/writer lock. Copies share one
// implementation; a handle without implementation does nothing.

#include <cstdint>

#include "QORMutex.h"
#include "QORSysExport.h"
#include "QORWaitingPoint.h"
#include "ZYNSysShared.h"
#include "ZYNSysWin.h"

class QOR_SYS_API QORResourceLockImpl : public ZYNSysSharedRecord {
public:
    virtual ~QORResourceLockImpl();
    virtual void ReadLock() = 0;
    virtual void ReadUnlock() = 0;
    virtual void WriteLock() = 0;
    virtual void WriteUnlock() = 0;

protected:
    QORResourceLockImpl() = default;
};

class QOR_SYS_API QORResourceLockWP : public QORResourceLockImpl {
public:
    QORResourceLockWP();
    ~QORResourceLockWP() override;
    void ReadLock() override;
    void ReadUnlock() override;
    // Returns holding the mutex: new readers wait on it until WriteUnlock.
    void WriteLock() override;
    void WriteUnlock() override;

private:
    QORMutex mutex_;
    QORWaitingPoint point_;
    std::uint32_t readers_ = 0;
    // Writers waiting for the readers to leave; the last reader wakes them only when there are some.
    std::uint32_t waitingWriters_ = 0;
};

class QOR_SYS_API QORResourceLockSRW : public QORResourceLockImpl {
public:
    // NULL when the entry points are missing or memory is short.
    static QORResourceLockSRW* Create();
    ~QORResourceLockSRW() override;
    void ReadLock() override;
    void ReadUnlock() override;
    void WriteLock() override;
    void WriteUnlock() override;

private:
    QORResourceLockSRW();
    SRWLOCK lock_;
};

class QOR_SYS_API QORResourceLock {
public:
    // Non-zero: waiting point and reader count; 0: the slim lock where the system has it.
    QORResourceLock(unsigned char useWaitingPoint = 1);
    QORResourceLock(const QORResourceLock& other);
    QORResourceLock& operator=(const QORResourceLock& other);
    ~QORResourceLock();

    void ReadLock();
    void ReadUnlock();
    void WriteLock();
    void WriteUnlock();

private:
    QORResourceLockImpl* impl_ = nullptr;
};

// As ZYNCreateMutex, with a lock built with 1.
QOR_SYS_API void ZYNCreateResourceLock(QORResourceLock*& target, unsigned long mode);

// Reader/writer lock implementations alive in the process.
long QORResourceLockLiveImplCount();
