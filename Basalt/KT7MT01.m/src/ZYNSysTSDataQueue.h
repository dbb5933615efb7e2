#pragma once
// A thread-safe first-in first-out queue of untyped pointers, optionally blocking and optionally
// bounded. The queue never frees the data it holds. Made by CreateEmptyQueue with one reference;
// Release frees it.

#include <atomic>
#include <memory>

#include "QORMutex.h"
#include "QORSysExport.h"
#include "ZYNSysRefCounted.h"

class ZYNSysSemaphore;

class QOR_SYS_API ZYNSysTSDataQueue : public ZYNSysRefCounted {
public:
    // NULL for a negative maximum length or when the queue cannot be made. A maximum of 0 means
    // unbounded; a blocking queue makes pops wait for an item and pushes wait for a free slot.
    static ZYNSysTSDataQueue* CreateEmptyQueue(bool blocking, int maxLength);

    // Appends at the tail: 1 stored, 0 no free slot within the time-out, -1 NULL data, a failed
    // wait or a full queue. A non-blocking queue never waits.
    int PushFirst(void* data, int timeoutMs);
    // Takes the oldest item: 1 with *item set; 0 time-out; -1 NULL item, a failed wait or an empty
    // queue. *item is NULL whenever the result is not 1.
    int PopLast(void** item, int timeoutMs);
    // Read without the lock.
    int GetCurrentLength();

protected:
    ZYNSysTSDataQueue();
    ~ZYNSysTSDataQueue() override;
    bool Init(bool blocking, int maxLength);

private:
    struct Node;
    struct SemaphoreDeleter {
        void operator()(ZYNSysSemaphore* semaphore) const;
    };
    using SemaphorePtr = std::unique_ptr<ZYNSysSemaphore, SemaphoreDeleter>;

    friend ZYNSysSemaphore* ZYNSysTSDataQueueFreeSlotsForTest(ZYNSysTSDataQueue& queue);

    QORMutex m_mutex{0, 0, 0};
    SemaphorePtr m_items;
    SemaphorePtr m_freeSlots;
    std::unique_ptr<Node> m_head;
    Node* m_tail = nullptr;
    std::atomic<int> m_length{0};
    int m_maxLength = -1;
};

// Tests only: the semaphore that counts free slots of a bounded queue; NULL when unbounded.
ZYNSysSemaphore* ZYNSysTSDataQueueFreeSlotsForTest(ZYNSysTSDataQueue& queue);
