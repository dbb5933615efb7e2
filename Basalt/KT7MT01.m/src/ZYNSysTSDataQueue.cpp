#include "ZYNSysTSDataQueue.h"

#include <new>
#include <utility>

#include "ZYNSysSemaphore.h"

namespace {

constexpr int kStored = 1;
constexpr int kTaken = 1;
constexpr int kTimedOut = 0;
constexpr int kRefused = -1;
constexpr int kUnlimitedCount = -1;
constexpr int kNoWait = 0;

// A semaphore wait as a queue result: 1 acquired, 0 time-out, -1 failure.
int WaitResult(int result) {
    if (result < 0) return kRefused;
    return result == 0 ? 1 : kTimedOut;
}

}  // namespace

struct ZYNSysTSDataQueue::Node {
    void* data;
    std::unique_ptr<Node> next;
};

void ZYNSysTSDataQueue::SemaphoreDeleter::operator()(ZYNSysSemaphore* semaphore) const { delete semaphore; }

ZYNSysTSDataQueue* ZYNSysTSDataQueue::CreateEmptyQueue(bool blocking, int maxLength) {
    auto* queue = new (std::nothrow) ZYNSysTSDataQueue;
    if (queue && !queue->Init(blocking, maxLength)) {
        queue->Release();
        queue = nullptr;
    }
    return queue;
}

ZYNSysTSDataQueue::ZYNSysTSDataQueue() = default;

ZYNSysTSDataQueue::~ZYNSysTSDataQueue() {
    m_tail = nullptr;
    m_items.reset();
    m_freeSlots.reset();
    // One node at a time: a long chain freed through its own links would recurse as deep.
    while (m_head) m_head = std::move(m_head->next);
}

bool ZYNSysTSDataQueue::Init(bool blocking, int maxLength) {
    if (maxLength < 0) return false;
    if (blocking) {
        m_items.reset(ZYNSysSemaphore::ZYNSysCreateSemaphore(maxLength < 1 ? kUnlimitedCount : maxLength, 0, 0));
        if (!m_items) return false;
    }
    if (maxLength < 1) return true;
    m_maxLength = maxLength;
    m_freeSlots.reset(ZYNSysSemaphore::ZYNSysCreateSemaphore(maxLength, maxLength, 0));
    return m_freeSlots != nullptr;
}

int ZYNSysTSDataQueue::PushFirst(void* data, int timeoutMs) {
    if (!data) return kRefused;
    if (m_freeSlots) {
        const int slot = WaitResult(m_freeSlots->Wait(m_items ? timeoutMs : kNoWait));
        if (slot != 1) return slot;
    }
    {
        QORMutexHold lock(m_mutex);
        if (m_maxLength > 0 && m_length.load(std::memory_order_relaxed) >= m_maxLength) return kRefused;
        auto node = std::unique_ptr<Node>(new (std::nothrow) Node{data, nullptr});
        if (!node) {
            // The slot taken above holds nothing: give it back.
            if (m_freeSlots) m_freeSlots->Post();
            return kRefused;
        }
        Node* last = node.get();
        if (m_tail) m_tail->next = std::move(node);
        else m_head = std::move(node);
        m_tail = last;
        m_length.fetch_add(1, std::memory_order_relaxed);
    }
    if (m_items) m_items->Post();
    return kStored;
}

int ZYNSysTSDataQueue::PopLast(void** item, int timeoutMs) {
    if (!item) return kRefused;
    *item = nullptr;
    if (m_items) {
        const int got = WaitResult(m_items->Wait(timeoutMs));
        if (got != 1) return got;
    }
    std::unique_ptr<Node> node;
    {
        QORMutexHold lock(m_mutex);
        if (m_head) {
            node = std::move(m_head);
            m_head = std::move(node->next);
            if (!m_head) m_tail = nullptr;
            m_length.fetch_sub(1, std::memory_order_relaxed);
        }
    }
    // Only a node taken frees a slot: a pop of an empty queue would hand out a slot no one gave.
    if (!node) return kRefused;
    // The item is out of the list whatever the post answers: dropping it would lose the data.
    if (m_freeSlots) m_freeSlots->Post();
    *item = node->data;
    return kTaken;
}

int ZYNSysTSDataQueue::GetCurrentLength() { return m_length.load(std::memory_order_relaxed); }

ZYNSysSemaphore* ZYNSysTSDataQueueFreeSlotsForTest(ZYNSysTSDataQueue& queue) { return queue.m_freeSlots.get(); }
