#include "QORListThreads.h"

#include <atomic>
#include <new>

#include "QORMutex.h"
#include "QORThreads.h"

namespace {

// Locks the mutex the list has now; one made meanwhile is not unlocked by mistake.
class ListLock {
public:
    explicit ListLock(QORMutex* mutex) : mutex_(mutex) {
        if (mutex_) mutex_->Lock();
    }
    ~ListLock() {
        if (mutex_) mutex_->Unlock();
    }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    QORMutex* mutex_;
};

// CreateMutexW may store the mutex from another thread at any time.
QORMutex* Current(QORMutex*& mutex) { return std::atomic_ref<QORMutex*>(mutex).load(std::memory_order_acquire); }

}  // namespace

QORThreads* QORListThreadsElem::GetThread() { return thread_; }
QORListThreadsElem* QORListThreadsElem::GetNext() { return next_; }
void QORListThreadsElem::SetNext(QORListThreadsElem* next) { next_ = next; }
void QORListThreadsElem::SetPrev(QORListThreadsElem* prev) { prev_ = prev; }

QORListThreads& QORListThreads::operator=(const QORListThreads& other) {
    head_ = other.head_;
    tail_ = other.tail_;
    mutex_ = other.mutex_;
    return *this;
}

QORListThreads& QORListThreads::operator=(QORListThreads&& other) { return *this = other; }

void QORListThreads::AddThread(QORThreads* thread) {
    if (!thread) return;
    auto* element = new (std::nothrow) QORListThreadsElem;
    if (!element) return;
    element->thread_ = thread;
    ListLock lock(Current(mutex_));
    element->SetPrev(tail_);
    if (tail_) tail_->SetNext(element);
    else head_ = element;
    tail_ = element;
}

int QORListThreads::RemoveThread(QORThreads* thread) {
    if (!thread) return 1;
    QORListThreadsElem* found = nullptr;
    {
        ListLock lock(Current(mutex_));
        for (QORListThreadsElem* e = head_; e; e = e->next_) {
            if (e->thread_ == thread) {
                found = e;
                break;
            }
        }
        if (!found) return 1;
        if (found->prev_) found->prev_->SetNext(found->next_);
        else head_ = found->next_;
        if (found->next_) found->next_->SetPrev(found->prev_);
        else tail_ = found->prev_;
    }
    delete found;
    return 0;
}

QORThreads* QORListThreads::FindThread(std::uint32_t threadId) {
    ListLock lock(Current(mutex_));
    for (QORListThreadsElem* e = head_; e; e = e->next_) {
        if (e->thread_->GetThreadId() == threadId) return e->thread_;
    }
    return nullptr;
}

QORListThreadsElem* QORListThreads::GetFirst() {
    ListLock lock(Current(mutex_));
    return head_;
}

void QORListThreads::CreateMutexW() { ZYNCreateMutex(mutex_, 1); }

QORListThreads* QORListThreadsMain() {
    // Never destroyed: thread objects in static storage may outlive any destructor order.
    static QORListThreads* const list = new (std::nothrow) QORListThreads;
    return list;
}

QORListThreadsElem* GetFirstThreadsFromMainList() {
    QORListThreads* list = QORListThreadsMain();
    return list ? list->GetFirst() : nullptr;
}
