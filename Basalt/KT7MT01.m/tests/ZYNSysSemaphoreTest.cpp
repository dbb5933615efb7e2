#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <memory>
#include <thread>

#include "ZYNSysSemaphore.h"

namespace {

using Clock = std::chrono::steady_clock;
using SemaphorePtr = std::unique_ptr<ZYNSysSemaphore>;

constexpr int kFail = static_cast<int>(0x80004005);
constexpr int kInvalidArg = static_cast<int>(0x80070057);
constexpr int kInvalidHandle = static_cast<int>(0x80070006);

int MaxOf(ZYNSysSemaphore& s) {
    int value = -999;
    s.GetMaxCount(value);
    return value;
}

int CountOf(ZYNSysSemaphore& s) {
    int value = -999;
    s.GetCurrentCount(value);
    return value;
}

}  // namespace

TEST(ZYNSysSemaphore, FactoryMakesTheKindAskedOrNothing) {
    struct Case {
        int maxCount, initialCount;
        char kind;
        int expectedKind;  // -1 = NULL
        int expectedMax;
    };
    const Case cases[] = {
        {-1, 0, 0, 0, 0x7FFFFFFF}, {5, 5, 0, 0, 5},  {-1, 7, 1, 1, 0x7FFFFFFF}, {2, 3, 0, -1, 0},
        {-2, 0, 0, -1, 0},         {5, -1, 0, -1, 0}, {5, 0, 2, -1, 0},          {0, 0, 1, -1, 0},
    };
    for (const Case& c : cases) {
        const std::string name = std::to_string(c.maxCount) + ", " + std::to_string(c.initialCount) + ", " +
                                 std::to_string(int(c.kind));
        SemaphorePtr s(ZYNSysSemaphore::ZYNSysCreateSemaphore(c.maxCount, c.initialCount, c.kind));
        if (c.expectedKind < 0) {
            EXPECT_EQ(s, nullptr) << name;
            continue;
        }
        ASSERT_NE(s, nullptr) << name;
        EXPECT_EQ(MaxOf(*s), c.expectedMax) << name;
        if (c.expectedKind == 1) {
            EXPECT_NE(dynamic_cast<ZYNSysResizableSemaphore*>(s.get()), nullptr) << name;
            EXPECT_EQ(CountOf(*s), c.initialCount) << name;
            continue;
        }
        int count = 0;
        for (int answer : {s->IncreaseCount(1, 1), s->DecreaseCount(-1), s->GetCurrentCount(count)})
            EXPECT_EQ(answer, static_cast<int>(0x80004001)) << name;
    }
}

// Each step runs on the semaphore the previous steps left.
TEST(ZYNSysSemaphore, EachKindAnswersItsCodesStepByStep) {
    SemaphorePtr plain(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 0));
    SemaphorePtr resizable(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 1));
    ASSERT_TRUE(plain && resizable);
    ZYNSysSemaphore& p = *plain;
    auto* r = dynamic_cast<ZYNSysResizableSemaphore*>(resizable.get());
    ASSERT_NE(r, nullptr);
    struct Case {
        const char* name;
        std::function<int()> step;
        int expected;
        int expectedMax, expectedCount;  // resizable steps; -1 for a plain one
    };
    const Case cases[] = {
        {"plain: negative time-out", [&] { return p.Wait(-5); }, kInvalidArg, -1, -1},
        {"plain: empty, time-out 20 ms", [&] { return p.Wait(20); }, 1, -1, -1},
        {"plain: post", [&] { return p.Post(); }, 0, -1, -1},
        {"plain: post past the maximum", [&] { return p.Post(); }, static_cast<int>(0x8007012A), -1, -1},
        {"plain: wait -1 is unlimited", [&] { return p.Wait(-1); }, 0, -1, -1},
        {"post", [&] { return r->Post(); }, 0, 1, 1},
        {"post at the maximum", [&] { return r->Post(); }, kFail, 1, 1},
        {"take it", [&] { return r->Wait(0); }, 0, 1, 0},
        {"empty, time-out 20 ms", [&] { return r->Wait(20); }, 1, 1, 0},
        {"negative time-out", [&] { return r->Wait(-5); }, kInvalidArg, 1, 0},
        {"count delta beyond delta", [&] { return r->IncreaseCount(2, 3); }, kFail, 1, 0},
        {"increase by a negative delta", [&] { return r->IncreaseCount(-1, 0); }, kFail, 1, 0},
        {"count delta of the smallest int", [&] { return r->IncreaseCount(1, INT_MIN); }, kFail, 1, 0},
        {"maximum past the largest int", [&] { return r->IncreaseCount(INT_MAX, 0); }, kFail, 1, 0},
        {"change by 0", [&] { return r->ChangeCount(0, 0); }, 1, 1, 0},
        {"grow by 3 with one unit", [&] { return r->IncreaseCount(3, 1); }, 0, 4, 1},
        {"shrink with a count delta of the smallest int", [&] { return r->ChangeCount(-1, INT_MIN); }, kFail, 4, 1},
        {"shrink past the count", [&] { return r->DecreaseCount(-2); }, kFail, 4, 1},
        {"shrink by 1", [&] { return r->DecreaseCount(-1); }, 0, 3, 0},
        {"decrease by a positive delta", [&] { return r->DecreaseCount(1); }, kFail, 3, 0},
        {"post", [&] { return r->Post(); }, 0, 3, 1},
        {"take without limit", [&] { return r->Wait(); }, 0, 3, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.step(), c.expected) << c.name;
        if (c.expectedMax < 0) continue;
        EXPECT_EQ(MaxOf(*r), c.expectedMax) << c.name;
        EXPECT_EQ(CountOf(*r), c.expectedCount) << c.name;
    }
}

TEST(ZYNSysSemaphore, AClosedSemaphoreFailsWithItsErrorAndCountsNothing) {
    struct Case {
        const char* name;
        char kind;
        std::function<int(ZYNSysSemaphore&)> step;
    };
    const Case cases[] = {
        {"plain, unlimited wait", 0, [](ZYNSysSemaphore& s) { return s.Wait(); }},
        {"plain, post", 0, [](ZYNSysSemaphore& s) { return s.Post(); }},
        {"resizable, timed wait", 1, [](ZYNSysSemaphore& s) { return s.Wait(0); }},
        // The unit the system refused is not counted.
        {"resizable, post", 1, [](ZYNSysSemaphore& s) { return s.Post(); }},
    };
    for (const Case& c : cases) {
        SemaphorePtr s(ZYNSysSemaphore::ZYNSysCreateSemaphore(2, 1, c.kind));
        ASSERT_NE(s, nullptr) << c.name;
        ZYNSysKernelHandle* owner = ZYNSysSemaphoreHandleForTest(*s);
        ASSERT_NE(owner, nullptr) << c.name;
        ::CloseHandle(owner->Get());
        EXPECT_EQ(c.step(*s), kInvalidHandle) << c.name;
        if (c.kind == 1) {
            EXPECT_EQ(CountOf(*s), 1) << c.name;
        }
        static_cast<void>(owner->Take());  // already closed
    }
}

TEST(ZYNSysSemaphore, GrowingAResizableSemaphoreReleasesABlockedWaiter) {
    SemaphorePtr s(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 1));
    ASSERT_NE(s, nullptr);
    std::atomic<int> answer{-999};
    std::thread waiter([&] { answer = s->Wait(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it block on the first semaphore
    EXPECT_EQ(answer, -999);
    EXPECT_EQ(s->IncreaseCount(3, 1), 0);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (answer == -999 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (answer == -999) {
        ADD_FAILURE() << "the waiter is still blocked";
        waiter.detach();
        static_cast<void>(s.release());  // the blocked thread still uses it
        return;
    }
    waiter.join();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(MaxOf(*s), 4);
    EXPECT_EQ(CountOf(*s), 0);
    // The unit the waiter took is still in the new inner semaphore: posts up to the maximum land.
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(s->Post(), 0) << "post " << i;
    EXPECT_EQ(s->Post(), kFail);
    EXPECT_EQ(CountOf(*s), 4);
}

TEST(ZYNSysSemaphore, ResizesDoNotStretchATimedWait) {
    SemaphorePtr s(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 1));
    ASSERT_NE(s, nullptr);
    std::atomic<int> answer{-999};
    std::atomic<long long> tookMs{0};
    std::thread waiter([&] {
        const auto t0 = Clock::now();
        const int result = s->Wait(200);
        tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        answer = result;
    });
    // A resize every 50 ms wakes the waiter with nothing to take; for 3 s at most.
    const auto stop = Clock::now() + std::chrono::seconds(3);
    int resizes = 0;
    for (; answer == -999 && Clock::now() < stop; ++resizes) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(s->IncreaseCount(1, 0), 0);
    }
    waiter.join();
    EXPECT_EQ(answer, 1);
    EXPECT_GE(tookMs, 180);
    // A stretched wait outlasts the resizes (about 3.2 s); the bound leaves room for a loaded machine.
    EXPECT_LT(tookMs, 2500) << "after " << resizes << " resizes";
}
