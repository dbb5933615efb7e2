#pragma once
// The process-wide list of every live thread object.

#include <cstdint>

#include "QORSysExport.h"

class QORMutex;
class QORThreads;

class QOR_SYS_API QORListThreadsElem {
public:
    QORThreads* GetThread();
    QORListThreadsElem* GetNext();

private:
    friend class QORListThreads;
    void SetNext(QORListThreadsElem* next);
    void SetPrev(QORListThreadsElem* prev);

    QORThreads* thread_ = nullptr;
    QORListThreadsElem* next_ = nullptr;
    QORListThreadsElem* prev_ = nullptr;
};

// Every operation runs under the list's recursive mutex once CreateMutexW made it.
class QOR_SYS_API QORListThreads {
public:
    QORListThreads() = default;
    QORListThreads& operator=(const QORListThreads& other);
    QORListThreads& operator=(QORListThreads&& other);

    void AddThread(QORThreads* thread);
    // 0 removed, 1 absent or NULL.
    int RemoveThread(QORThreads* thread);
    QORThreads* FindThread(std::uint32_t threadId);
    // The head element; walking on from it is safe only while no object is destroyed.
    QORListThreadsElem* GetFirst();
    void CreateMutexW();

private:
    QORListThreadsElem* head_ = nullptr;
    QORListThreadsElem* tail_ = nullptr;
    QORMutex* mutex_ = nullptr;
};

// The head element of the process-wide list.
QOR_SYS_API QORListThreadsElem* GetFirstThreadsFromMainList();

// The process-wide list (never destroyed), NULL only when memory ran out.
QORListThreads* QORListThreadsMain();
