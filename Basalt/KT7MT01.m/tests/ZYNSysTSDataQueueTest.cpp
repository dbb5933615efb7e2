#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "ZYNSysSemaphore.h"
#include "ZYNSysTSDataQueue.h"

namespace {

struct QueueRelease {
    void operator()(ZYNSysTSDataQueue* queue) const { queue->Release(); }
};
using QueuePtr = std::unique_ptr<ZYNSysTSDataQueue, QueueRelease>;

void* Item(std::uintptr_t n) { return reinterpret_cast<void*>(n); }

}  // namespace

// Each step runs on the queue the previous steps left.
TEST(ZYNSysTSDataQueue, PushAndPopAnswerTheirCodesStepByStep) {
    EXPECT_EQ(QueuePtr(ZYNSysTSDataQueue::CreateEmptyQueue(true, -1)), nullptr);
    EXPECT_EQ(QueuePtr(ZYNSysTSDataQueue::CreateEmptyQueue(false, -1)), nullptr);
    QueuePtr blocking(ZYNSysTSDataQueue::CreateEmptyQueue(true, 2));
    QueuePtr open(ZYNSysTSDataQueue::CreateEmptyQueue(false, 0));
    QueuePtr bounded(ZYNSysTSDataQueue::CreateEmptyQueue(false, 1));
    ASSERT_TRUE(blocking && open && bounded);
    enum Op { kPush, kPop, kPopIntoNull };
    struct Case {
        const char* name;
        ZYNSysTSDataQueue* queue;
        Op op;
        std::uintptr_t data;  // pushed, or expected from a pop
        int timeoutMs;
        int expected;
        int expectedLength;
    };
    const Case cases[] = {
        {"blocking: push a", blocking.get(), kPush, 1, 0, 1, 1},
        {"blocking: push b", blocking.get(), kPush, 2, -1, 1, 2},
        {"blocking: no free slot within 30 ms", blocking.get(), kPush, 3, 30, 0, 2},
        {"blocking: a first", blocking.get(), kPop, 1, 0, 1, 1},
        {"blocking: then b", blocking.get(), kPop, 2, -1, 1, 0},
        {"blocking: empty within 30 ms", blocking.get(), kPop, 0, 30, 0, 0},
        {"blocking: negative time-out", blocking.get(), kPop, 0, -5, -1, 0},
        {"unbounded: empty", open.get(), kPop, 0, 1000, -1, 0},
        {"unbounded: NULL data", open.get(), kPush, 0, 0, -1, 0},
        {"unbounded: push a", open.get(), kPush, 1, 0, 1, 1},
        {"unbounded: push b", open.get(), kPush, 2, 0, 1, 2},
        {"unbounded: NULL out pointer", open.get(), kPopIntoNull, 0, 0, -1, 2},
        {"unbounded: a first", open.get(), kPop, 1, 0, 1, 1},
        {"bounded: push a", bounded.get(), kPush, 1, 0, 1, 1},
        {"bounded: full, never waits", bounded.get(), kPush, 2, 1000, 0, 1},
        {"bounded: pop a", bounded.get(), kPop, 1, 0, 1, 0},
        {"bounded: push b after the pop", bounded.get(), kPush, 2, 0, 1, 1},
    };
    for (const Case& c : cases) {
        void* item = Item(c.data);
        int answer = 0;
        switch (c.op) {
            case kPush: answer = c.queue->PushFirst(item, c.timeoutMs); break;
            case kPop: item = Item(0xBAD), answer = c.queue->PopLast(&item, c.timeoutMs); break;
            case kPopIntoNull: answer = c.queue->PopLast(nullptr, c.timeoutMs); break;
        }
        EXPECT_EQ(answer, c.expected) << c.name;
        EXPECT_EQ(item, Item(c.data)) << c.name;
        EXPECT_EQ(c.queue->GetCurrentLength(), c.expectedLength) << c.name;
    }
}

TEST(ZYNSysTSDataQueue, APopGivesBackTheSlotOfTheItemItTookAndNoOther) {
    struct Case {
        const char* name;
        int maxLength;
        std::function<void(ZYNSysTSDataQueue&, ZYNSysSemaphore&)> before;
        int expected;
        std::uintptr_t expectedItem;
    };
    const Case cases[] = {
        {"an empty pop gives back nothing", 2,
         [](ZYNSysTSDataQueue&, ZYNSysSemaphore& slots) { slots.Wait(0); },  // a push under way
         -1, 0},
        {"the item comes out although its slot cannot be given back", 1,
         [](ZYNSysTSDataQueue& q, ZYNSysSemaphore& slots) {
             q.PushFirst(Item(7), 0);
             slots.Post();  // every slot free again: the pop's own post is refused
         },
         1, 7},
    };
    for (const Case& c : cases) {
        QueuePtr queue(ZYNSysTSDataQueue::CreateEmptyQueue(false, c.maxLength));
        ASSERT_NE(queue, nullptr) << c.name;
        ZYNSysSemaphore* slots = ZYNSysTSDataQueueFreeSlotsForTest(*queue);
        ASSERT_NE(slots, nullptr) << c.name;
        c.before(*queue, *slots);
        void* item = Item(0xBAD);
        EXPECT_EQ(queue->PopLast(&item, 0), c.expected) << c.name;
        EXPECT_EQ(item, Item(c.expectedItem)) << c.name;
        // Exactly one slot is free now.
        EXPECT_EQ(slots->Wait(0), 0) << c.name;
        EXPECT_EQ(slots->Wait(0), 1) << c.name;
    }
}

TEST(ZYNSysTSDataQueue, FourProducersAndFourConsumersShareABoundedBlockingQueue) {
    constexpr int kThreads = 4, kPerProducer = 300, kWaitMs = 10000;
    QueuePtr queue(ZYNSysTSDataQueue::CreateEmptyQueue(true, 2));
    ASSERT_NE(queue, nullptr);
    std::atomic<int> failures{0}, longest{0};
    std::vector<std::vector<std::uintptr_t>> received(kThreads);
    std::vector<std::thread> threads;
    for (int p = 0; p < kThreads; ++p)
        threads.emplace_back([&, p] {
            for (int i = 1; i <= kPerProducer; ++i) {
                // The producer in the high bits, its sequence below.
                if (queue->PushFirst(Item((std::uintptr_t(p) << 20) | i), kWaitMs) != 1) ++failures;
                const int length = queue->GetCurrentLength();
                for (int seen = longest; length > seen && !longest.compare_exchange_weak(seen, length);) {}
            }
        });
    for (int c = 0; c < kThreads; ++c)
        threads.emplace_back([&, c] {
            for (int i = 0; i < kPerProducer; ++i) {
                void* item = nullptr;
                if (queue->PopLast(&item, kWaitMs) == 1) received[c].push_back(reinterpret_cast<std::uintptr_t>(item));
                else ++failures;
            }
        });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(failures, 0);
    EXPECT_LE(longest, 2);
    std::set<std::uintptr_t> all;
    for (int c = 0; c < kThreads; ++c) {
        std::uintptr_t last[kThreads] = {};
        for (std::uintptr_t v : received[c]) {
            EXPECT_TRUE(all.insert(v).second) << std::hex << v << " came out twice";
            const std::uintptr_t producer = (v >> 20) % kThreads, sequence = v & 0xFFFFF;
            EXPECT_GT(sequence, last[producer]) << "consumer " << c << " saw producer " << producer << " out of order";
            last[producer] = sequence;
        }
    }
    EXPECT_EQ(all.size(), std::size_t(kThreads * kPerProducer));
}
