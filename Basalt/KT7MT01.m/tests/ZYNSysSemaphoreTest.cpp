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

constexpr int kNotImplemented = static_cast<int>(0x80004001);
constexpr int kFail = static_cast<int>(0x80004005);
constexpr int kInvalidArg = static_cast<int>(0x80070057);
constexpr int kInvalidHandle = static_cast<int>(0x80070006);
constexpr int kTooManyPosts = static_cast<int>(0x8007012A);
constexpr int kNotRead = -999;

int MaxOf(ZYNSysSemaphore& s) {
    int value = kNotRead;
    s.GetMaxCount(value);
    return value;
}

int CountOf(ZYNSysSemaphore& s) {
    int value = kNotRead;
    s.GetCurrentCount(value);
    return value;
}

// Waits until flag is set, at most 5 s.
bool Eventually(const std::atomic<bool>& flag) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!flag && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag;
}

}  // namespace

TEST(ZYNSysSemaphore, FactoryMakesTheKindAskedOrNothing) {
    struct Case {
        const char* name;
        int maxCount;
        int initialCount;
        char kind;
        int expectedKind;  // -1 = NULL
        int expectedMax;
    };
    const Case cases[] = {
        {"maximum -1 is the largest int", -1, 0, 0, 0, 0x7FFFFFFF},
        {"initial equals maximum", 5, 5, 0, 0, 5},
        {"resizable", 5, 2, 1, 1, 5},
        {"resizable, maximum -1", -1, 7, 1, 1, 0x7FFFFFFF},
        {"initial above maximum", 2, 3, 0, -1, 0},
        {"maximum below -1", -2, 0, 0, -1, 0},
        {"negative initial count", 5, -1, 0, -1, 0},
        {"unknown kind", 5, 0, 2, -1, 0},
        {"maximum 0: the system makes none", 0, 0, 0, -1, 0},
        {"resizable, maximum 0", 0, 0, 1, -1, 0},
    };
    for (const Case& c : cases) {
        SemaphorePtr s(ZYNSysSemaphore::ZYNSysCreateSemaphore(c.maxCount, c.initialCount, c.kind));
        if (c.expectedKind < 0) {
            EXPECT_EQ(s, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(s, nullptr) << c.name;
        const bool resizable = dynamic_cast<ZYNSysResizableSemaphore*>(s.get()) != nullptr;
        EXPECT_EQ(resizable ? 1 : 0, c.expectedKind) << c.name;
        EXPECT_EQ(MaxOf(*s), c.expectedMax) << c.name;
        if (resizable) {
            EXPECT_EQ(CountOf(*s), c.initialCount) << c.name;
        } else {
            int count = kNotRead;
            EXPECT_EQ(s->GetCurrentCount(count), kNotImplemented) << c.name;
            EXPECT_EQ(s->IncreaseCount(1, 1), kNotImplemented) << c.name;
            EXPECT_EQ(s->DecreaseCount(-1), kNotImplemented) << c.name;
        }
    }
}

// Each step runs on the semaphore left by the previous ones.
TEST(ZYNSysSemaphore, EachKindAnswersItsCodesStepByStep) {
    SemaphorePtr plain(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 0));
    SemaphorePtr resizable(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 1));
    ASSERT_TRUE(plain && resizable);
    ZYNSysSemaphore& p = *plain;
    auto* r = dynamic_cast<ZYNSysResizableSemaphore*>(resizable.get());
    ASSERT_NE(r, nullptr);

    struct Case {
        const char* name;
        bool resizable;
        std::function<int()> step;
        int expected;
        int expectedMax;    // resizable steps only
        int expectedCount;  // resizable steps only
    };
    const Case cases[] = {
        {"plain: negative time-out", false, [&] { return p.Wait(-5); }, kInvalidArg, 0, 0},
        {"plain: empty, time-out 0", false, [&] { return p.Wait(0); }, 1, 0, 0},
        {"plain: post", false, [&] { return p.Post(); }, 0, 0, 0},
        {"plain: post past the maximum", false, [&] { return p.Post(); }, kTooManyPosts, 0, 0},
        {"plain: unlimited wait", false, [&] { return p.Wait(); }, 0, 0, 0},
        {"plain: post again", false, [&] { return p.Post(); }, 0, 0, 0},
        {"plain: wait -1 is unlimited", false, [&] { return p.Wait(-1); }, 0, 0, 0},
        {"plain: time-out 20 ms", false, [&] { return p.Wait(20); }, 1, 0, 0},

        {"count delta beyond delta", true, [&] { return r->IncreaseCount(2, 3); }, kFail, 1, 0},
        {"increase by 0", true, [&] { return r->IncreaseCount(0, 0); }, kFail, 1, 0},
        {"decrease by a positive delta", true, [&] { return r->DecreaseCount(1); }, kFail, 1, 0},
        {"decrease below count 0", true, [&] { return r->DecreaseCount(-1); }, kFail, 1, 0},
        {"count delta of the smallest int", true, [&] { return r->IncreaseCount(1, INT_MIN); }, kFail, 1, 0},
        {"count delta of the smallest int, large delta", true, [&] { return r->IncreaseCount(INT_MAX, INT_MIN); },
         kFail, 1, 0},
        {"delta of the smallest int", true, [&] { return r->ChangeCount(INT_MIN, 0); }, kFail, 1, 0},
        {"change by 0", true, [&] { return r->ChangeCount(0, 0); }, 1, 1, 0},
        {"maximum past the largest int", true, [&] { return r->IncreaseCount(INT_MAX, 0); }, kFail, 1, 0},
        {"empty, time-out 0", true, [&] { return r->Wait(0); }, 1, 1, 0},
        {"negative time-out", true, [&] { return r->Wait(-5); }, kInvalidArg, 1, 0},
        {"grow by 3 with one unit", true, [&] { return r->IncreaseCount(3, 1); }, 0, 4, 1},
        {"negative count delta adds its size", true, [&] { return r->IncreaseCount(1, -1); }, 0, 5, 2},
        {"post", true, [&] { return r->Post(); }, 0, 5, 3},
        {"post", true, [&] { return r->Post(); }, 0, 5, 4},
        {"post up to the maximum", true, [&] { return r->Post(); }, 0, 5, 5},
        {"post at the maximum", true, [&] { return r->Post(); }, kFail, 5, 5},
        {"shrink by 2", true, [&] { return r->DecreaseCount(-2); }, 0, 3, 3},
        {"shrink to maximum 0", true, [&] { return r->DecreaseCount(-3); }, kFail, 3, 3},
        {"take one", true, [&] { return r->Wait(0); }, 0, 3, 2},
        {"take one without limit", true, [&] { return r->Wait(); }, 0, 3, 1},
        {"take the last", true, [&] { return r->Wait(-1); }, 0, 3, 0},
        {"empty again, time-out 20 ms", true, [&] { return r->Wait(20); }, 1, 3, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.step(), c.expected) << c.name;
        if (!c.resizable) continue;
        EXPECT_EQ(MaxOf(*r), c.expectedMax) << c.name;
        EXPECT_EQ(CountOf(*r), c.expectedCount) << c.name;
    }
}

TEST(ZYNSysSemaphore, AClosedSemaphoreFailsWithItsErrorAndCountsNothing) {
    struct Case {
        const char* name;
        char kind;
        std::function<int(ZYNSysSemaphore&)> step;
        int expected;
        int expectedCount;  // resizable only
    };
    const Case cases[] = {
        // Unlimited first: once a failure is reported, the closed handle's value may be reused.
        {"plain, unlimited wait", 0, [](ZYNSysSemaphore& s) { return s.Wait(); }, kInvalidHandle, 0},
        {"plain, timed wait", 0, [](ZYNSysSemaphore& s) { return s.Wait(0); }, kInvalidHandle, 0},
        {"plain, post", 0, [](ZYNSysSemaphore& s) { return s.Post(); }, kInvalidHandle, 0},
        {"resizable, unlimited wait", 1, [](ZYNSysSemaphore& s) { return s.Wait(); }, kInvalidHandle, 1},
        {"resizable, timed wait", 1, [](ZYNSysSemaphore& s) { return s.Wait(0); }, kInvalidHandle, 1},
        // The unit the system refused is not counted: the next post would otherwise be refused.
        {"resizable, post", 1, [](ZYNSysSemaphore& s) { return s.Post(); }, kInvalidHandle, 1},
    };
    for (const Case& c : cases) {
        SemaphorePtr s(ZYNSysSemaphore::ZYNSysCreateSemaphore(2, 1, c.kind));
        ASSERT_NE(s, nullptr) << c.name;
        ZYNSysKernelHandle* owner = ZYNSysSemaphoreHandleForTest(*s);
        ASSERT_NE(owner, nullptr) << c.name;
        ::CloseHandle(owner->Get());
        EXPECT_EQ(c.step(*s), c.expected) << c.name;
        if (c.kind == 1) {
            EXPECT_EQ(CountOf(*s), c.expectedCount) << c.name;
        }
        static_cast<void>(owner->Take());  // already closed
    }
}

TEST(ZYNSysSemaphore, GrowingAResizableSemaphoreReleasesABlockedWaiter) {
    SemaphorePtr s(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 1));
    ASSERT_NE(s, nullptr);
    std::atomic<bool> started{false}, done{false};
    std::atomic<int> answer{kNotRead};
    std::thread waiter([&] {
        started = true;
        answer = s->Wait();
        done = true;
    });
    ASSERT_TRUE(Eventually(started));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it block on the old semaphore
    EXPECT_FALSE(done);
    EXPECT_EQ(s->IncreaseCount(3, 1), 0);
    if (!Eventually(done)) {
        ADD_FAILURE() << "the waiter is still blocked";
        waiter.detach();
        static_cast<void>(s.release());  // the blocked thread still uses it
        return;
    }
    waiter.join();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(MaxOf(*s), 4);
    EXPECT_EQ(CountOf(*s), 0);
}

TEST(ZYNSysSemaphore, ResizesDoNotStretchATimedWait) {
    SemaphorePtr owned(ZYNSysSemaphore::ZYNSysCreateSemaphore(1, 0, 1));
    auto* s = dynamic_cast<ZYNSysResizableSemaphore*>(owned.get());
    ASSERT_NE(s, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> answer{kNotRead};
    std::atomic<long long> tookMs{0};
    std::thread waiter([&] {
        const auto t0 = Clock::now();
        answer = s->Wait(200);
        tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        done = true;
    });
    // Resize every 50 ms, each time waking the waiter with nothing to take, for up to 1.5 s.
    const auto stop = Clock::now() + std::chrono::milliseconds(1500);
    int resizes = 0;
    while (!done && Clock::now() < stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(s->IncreaseCount(1, 0), 0);
        ++resizes;
    }
    waiter.join();
    EXPECT_EQ(answer, 1);
    EXPECT_GE(tookMs, 180);
    EXPECT_LT(tookMs, 700) << "after " << resizes << " resizes";
    EXPECT_EQ(CountOf(*s), 0);
}
