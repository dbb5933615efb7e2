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

// Free slots left in a bounded queue, counted by taking them all and giving them back.
int FreeSlots(ZYNSysTSDataQueue& queue) {
    ZYNSysSemaphore* slots = ZYNSysTSDataQueueFreeSlotsForTest(queue);
    int n = 0;
    while (n < 100 && slots->Wait(0) == 0) ++n;
    for (int i = 0; i < n; ++i) slots->Post();
    return n;
}

}  // namespace

TEST(ZYNSysTSDataQueue, CreateEmptyQueueRefusesOnlyANegativeMaximum) {
    struct Case {
        const char* name;
        bool blocking;
        int maxLength;
        bool made;
    };
    const Case cases[] = {
        {"blocking, maximum -1", true, -1, false},
        {"non-blocking, maximum -1", false, -1, false},
        {"blocking, unbounded", true, 0, true},
        {"non-blocking, unbounded", false, 0, true},
        {"blocking, maximum 2", true, 2, true},
        {"non-blocking, maximum 1", false, 1, true},
    };
    for (const Case& c : cases) {
        QueuePtr queue(ZYNSysTSDataQueue::CreateEmptyQueue(c.blocking, c.maxLength));
        EXPECT_EQ(queue != nullptr, c.made) << c.name;
        if (queue) {
            EXPECT_EQ(queue->GetCurrentLength(), 0) << c.name;
        }
    }
}

// Each step runs on the queue left by the previous steps on it.
TEST(ZYNSysTSDataQueue, PushAndPopAnswerTheirCodesStepByStep) {
    QueuePtr blocking2(ZYNSysTSDataQueue::CreateEmptyQueue(true, 2));
    QueuePtr open(ZYNSysTSDataQueue::CreateEmptyQueue(false, 0));
    QueuePtr bounded1(ZYNSysTSDataQueue::CreateEmptyQueue(false, 1));
    ASSERT_TRUE(blocking2 && open && bounded1);
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
        {"blocking: push a", blocking2.get(), kPush, 1, 0, 1, 1},
        {"blocking: push b", blocking2.get(), kPush, 2, -1, 1, 2},
        {"blocking: no free slot within 0 ms", blocking2.get(), kPush, 3, 0, 0, 2},
        {"blocking: no free slot within 30 ms", blocking2.get(), kPush, 3, 30, 0, 2},
        {"blocking: push with a negative time-out", blocking2.get(), kPush, 3, -5, -1, 2},
        {"blocking: pop a first", blocking2.get(), kPop, 1, 0, 1, 1},
        {"blocking: pop b", blocking2.get(), kPop, 2, -1, 1, 0},
        {"blocking: empty within 0 ms", blocking2.get(), kPop, 0, 0, 0, 0},
        {"blocking: empty within 30 ms", blocking2.get(), kPop, 0, 30, 0, 0},
        {"blocking: pop with a negative time-out", blocking2.get(), kPop, 0, -5, -1, 0},
        {"unbounded: empty", open.get(), kPop, 0, 1000, -1, 0},
        {"unbounded: NULL data", open.get(), kPush, 0, 0, -1, 0},
        {"unbounded: push a", open.get(), kPush, 1, 0, 1, 1},
        {"unbounded: push b", open.get(), kPush, 2, 0, 1, 2},
        {"unbounded: push c", open.get(), kPush, 3, 0, 1, 3},
        {"unbounded: NULL out pointer", open.get(), kPopIntoNull, 0, 0, -1, 3},
        {"unbounded: pop a", open.get(), kPop, 1, 0, 1, 2},
        {"unbounded: pop b", open.get(), kPop, 2, 0, 1, 1},
        {"unbounded: pop c", open.get(), kPop, 3, 0, 1, 0},
        {"bounded: push a", bounded1.get(), kPush, 1, 0, 1, 1},
        {"bounded: full, never waits", bounded1.get(), kPush, 2, 1000, 0, 1},
        {"bounded: pop a", bounded1.get(), kPop, 1, 0, 1, 0},
        {"bounded: empty", bounded1.get(), kPop, 0, 1000, -1, 0},
        {"bounded: push b after the pop", bounded1.get(), kPush, 2, 0, 1, 1},
    };
    for (const Case& c : cases) {
        if (c.op == kPush) {
            EXPECT_EQ(c.queue->PushFirst(Item(c.data), c.timeoutMs), c.expected) << c.name;
        } else if (c.op == kPopIntoNull) {
            EXPECT_EQ(c.queue->PopLast(nullptr, c.timeoutMs), c.expected) << c.name;
        } else {
            void* item = Item(0xBAD);
            EXPECT_EQ(c.queue->PopLast(&item, c.timeoutMs), c.expected) << c.name;
            EXPECT_EQ(item, Item(c.data)) << c.name;
        }
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
        int expectedFreeSlots;
    };
    const Case cases[] = {
        {"an empty pop gives back nothing", 2,
         [](ZYNSysTSDataQueue&, ZYNSysSemaphore& slots) { slots.Wait(0); },  // a push under way
         -1, 0, 1},
        {"the item comes out although its slot cannot be given back", 1,
         [](ZYNSysTSDataQueue& q, ZYNSysSemaphore& slots) {
             q.PushFirst(Item(7), 0);
             slots.Post();  // every slot already free: the pop's own post is refused
         },
         1, 7, 1},
        {"an ordinary pop gives back one slot", 2,
         [](ZYNSysTSDataQueue& q, ZYNSysSemaphore&) {
             q.PushFirst(Item(5), 0);
             q.PushFirst(Item(6), 0);
         },
         1, 5, 1},
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
        EXPECT_EQ(FreeSlots(*queue), c.expectedFreeSlots) << c.name;
    }
}

TEST(ZYNSysTSDataQueue, FourProducersAndFourConsumersShareABoundedBlockingQueue) {
    constexpr int kThreads = 4;
    constexpr int kPerProducer = 300;
    constexpr int kWaitMs = 10000;
    QueuePtr queue(ZYNSysTSDataQueue::CreateEmptyQueue(true, 2));
    ASSERT_NE(queue, nullptr);
    std::atomic<int> failures{0}, longest{0};
    std::vector<std::vector<std::uintptr_t>> received(kThreads);
    std::vector<std::thread> threads;
    for (int p = 0; p < kThreads; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i) {
                // Producer in the high bits, sequence below; never 0.
                if (queue->PushFirst(Item((std::uintptr_t(p) << 20) | (i + 1)), kWaitMs) != 1) ++failures;
                const int length = queue->GetCurrentLength();
                for (int seen = longest; length > seen && !longest.compare_exchange_weak(seen, length);) {}
            }
        });
    for (int c = 0; c < kThreads; ++c)
        threads.emplace_back([&, c] {
            for (int i = 0; i < kPerProducer; ++i) {
                void* item = nullptr;
                if (queue->PopLast(&item, kWaitMs) != 1) {
                    ++failures;
                    continue;
                }
                received[c].push_back(reinterpret_cast<std::uintptr_t>(item));
            }
        });
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(failures, 0);
    EXPECT_LE(longest, 2);
    EXPECT_EQ(queue->GetCurrentLength(), 0);
    std::set<std::uintptr_t> all;
    for (int c = 0; c < kThreads; ++c) {
        std::uintptr_t last[kThreads] = {};
        for (std::uintptr_t v : received[c]) {
            EXPECT_TRUE(all.insert(v).second) << "item " << std::hex << v << " came out twice";
            const std::uintptr_t producer = v >> 20, sequence = v & 0xFFFFF;
            ASSERT_LT(producer, std::uintptr_t(kThreads));
            EXPECT_GT(sequence, last[producer]) << "consumer " << c << " saw producer " << producer << " out of order";
            last[producer] = sequence;
        }
    }
    EXPECT_EQ(all.size(), std::size_t(kThreads * kPerProducer));
}
