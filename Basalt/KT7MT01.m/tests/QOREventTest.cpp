#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "QOREvent.h"
#include "QORWaitingPoint.h"

namespace {

using Clock = std::chrono::steady_clock;

struct EventDeleter {
    void operator()(QOREvent* event) const { delete event; }
};
using EventPtr = std::unique_ptr<QOREvent, EventDeleter>;

std::vector<EventPtr> MakeEvents(int count) {
    std::vector<EventPtr> events;
    for (int i = 0; i < count; ++i) events.emplace_back(CreateQOREvent(0));
    return events;
}

}  // namespace

TEST(QOREvent, WaitForMultipleEventsAnswersTheIndexTimeOutOrRefusesAtOnce) {
    std::vector<EventPtr> owned = MakeEvents(65);
    std::vector<QOREvent*> events;
    for (EventPtr& e : owned) {
        ASSERT_NE(e, nullptr);
        events.push_back(e.get());
    }
    std::vector<QOREvent*> withNull(events.begin(), events.begin() + 3);
    withNull[1] = nullptr;

    struct Case {
        const char* name;
        int count;
        QOREvent** array;
        int waitAll;
        int timeoutMs;
        int signalled;  // index to set first, -1 for none
        int expected;
    };
    const Case cases[] = {
        {"no events", 0, events.data(), 0, 5000, -1, 1000},
        {"65 events", 65, events.data(), 0, 5000, -1, 1000},
        {"NULL array", 3, nullptr, 0, 5000, -1, 1000},
        {"NULL entry", 3, withNull.data(), 0, 5000, -1, 1000},
        {"nothing signalled", 64, events.data(), 0, 0, -1, 1001},
        {"the 38th of 64 signalled", 64, events.data(), 0, 5000, 37, 37},
        {"all of 64 signalled, waiting for all", 64, events.data(), 1, 5000, 64, 0},
    };
    for (const Case& c : cases) {
        for (EventPtr& e : owned) e->SetUnsignal();
        if (c.signalled == 64) {
            for (int i = 0; i < 64; ++i) events[i]->SetSignal();
        } else if (c.signalled >= 0) {
            events[c.signalled]->SetSignal();
        }
        const auto t0 = Clock::now();
        EXPECT_EQ(WaitForMultipleEvents(c.count, c.array, c.waitAll, c.timeoutMs), c.expected) << c.name;
        EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2)) << c.name;
    }
    EXPECT_EQ(QOR_MAXIMUM_WAIT_EVENTS, 64);
}

TEST(QOREvent, WaitForSingleEventAnswersZeroOnlyForASignalledEvent) {
    EventPtr unsignalled(CreateQOREvent(0));
    EventPtr signalled(CreateQOREvent(1));
    EventPtr closed(CreateQOREvent(1));
    ASSERT_TRUE(unsignalled && signalled && closed);
    // A signalled event whose handle was closed behind its back: the wait fails.
    ZYNSysKernelHandle* owner = QOREventOwnerForTest(*closed);
    ASSERT_TRUE(owner);
    ::CloseHandle(owner->Get());

    struct Case {
        const char* name;
        QOREvent* event;
        int timeoutMs;
        int expected;
    };
    const Case cases[] = {
        // Closed handle first: nothing may reuse its value before the waits.
        {"closed handle, unlimited", closed.get(), -1, 1000},
        {"closed handle, time-out 0", closed.get(), 0, 1000},
        {"NULL event", nullptr, -1, 1000},
        {"unsignalled, time-out 0", unsignalled.get(), 0, 1001},
        {"unsignalled, time-out 20 ms", unsignalled.get(), 20, 1001},
        {"signalled, unlimited", signalled.get(), -1, 0},
        {"signalled, time-out 0", signalled.get(), 0, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(WaitForSingleEvent(c.event, c.timeoutMs), c.expected) << c.name;
    static_cast<void>(owner->Take());  // already closed
}

TEST(QORWaitingPoint, SetModeAnswersZeroFromBroadcastUntilReset) {
    QORWaitingPoint point;
    EXPECT_EQ(point.Wait(0), -1);
    point.Broadcast();
    EXPECT_EQ(point.Wait(0), 0);
    EXPECT_EQ(point.Wait(-1), 0);
    point.Reset();
    EXPECT_EQ(point.Wait(10), -1);
}

TEST(QORWaitingPoint, PulseModeStartsSignalledAndReleasesOnlyAWaitingThread) {
    QORWaitingPoint point(1, 0);
    EXPECT_EQ(point.Wait(0), 0);
    point.Reset();
    point.Broadcast();
    EXPECT_EQ(point.Wait(0), -1);

    std::atomic<int> answer{99};
    std::thread waiter([&] { answer = point.Wait(-1); });
    // A pulse misses a thread not yet waiting: pulse until it is released, within bounds.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (answer == 99 && Clock::now() < deadline) {
        point.Broadcast();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (answer == 99) {
        point.Reset();
        ::SetEvent(QORWaitingPointEventForTest(point)->Get());  // lets the thread end
    }
    waiter.join();
    EXPECT_EQ(answer, 0);
    EXPECT_EQ(point.Wait(0), -1);
}

TEST(QORWaitingPoint, AFailedWaitIsNotAWakeUp) {
    QORWaitingPoint point(0, 0);
    ZYNSysKernelHandle* owner = QORWaitingPointEventForTest(point);
    ASSERT_NE(owner, nullptr);
    ::CloseHandle(owner->Get());
    // Unlimited first: once a failure is printed, the closed handle's value may be reused.
    EXPECT_EQ(point.Wait(-1), -1);
    EXPECT_EQ(point.Wait(0), -1);
    static_cast<void>(owner->Take());  // already closed
}
