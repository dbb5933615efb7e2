#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <future>
#include <limits>
#include <memory>
#include <thread>

#include "QORSysElapseTime.h"
#include "ZYNSysTimer.h"
#include "ZYNSysWin.h"

namespace {

using Clock = std::chrono::steady_clock;

// The calling thread's user and kernel time as the system counts it.
std::int64_t OwnCpuMicroseconds() {
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto total = [](const FILETIME& t) {
        return (static_cast<std::int64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10;
    };
    return total(kernel) + total(user);
}

std::int64_t Microseconds(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

// One counter tick at 10 MHz, and the rounding of both clocks.
constexpr std::int64_t kSlackUs = 2000;

}  // namespace

TEST(ZYNSysTimerConvert, SplitsACountIntoCalendarFreeUnits) {
    struct Case {
        const char* name;
        std::int64_t microseconds;
        std::int32_t expected[7];
    };
    const Case cases[] = {
        {"one of each", 694861001001, {1, 1, 1, 1, 1, 1, 1}},
        {"negative truncates toward zero", -694861001001, {-1, -1, -1, -1, -1, -1, -1}},
        {"zero", 0, {0, 0, 0, 0, 0, 0, 0}},
        {"just under a minute", 59999999, {0, 0, 0, 0, 59, 999, 999}},
        {"largest count", std::numeric_limits<std::int64_t>::max(), {15250284, 3, 4, 0, 54, 775, 807}},
    };
    for (const Case& c : cases) {
        std::int32_t out[7] = {7, 7, 7, 7, 7, 7, 7};
        ZYNSysTimerConvert(c.microseconds, out);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], c.expected[i]) << c.name << ", field " << i;
    }
    ZYNSysTimerConvert(694861001001, nullptr);  // nothing to write into, and no crash
}

TEST(ZYNSysTimerGetTimeOfDay, AnswersUnixTimeAndRefusesNull) {
    ZYNSysTimeOfDay now{-1, -1};
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(ZYNSysTimerGetTimeOfDay(&now), 0);
    const std::time_t after = std::time(nullptr);
    EXPECT_GE(now.seconds, before - 1);
    EXPECT_LE(now.seconds, after);
    EXPECT_GE(now.microseconds, 0);
    EXPECT_LT(now.microseconds, 1000000);
    EXPECT_EQ(ZYNSysTimerGetTimeOfDay(nullptr), -1);
}

TEST(ZYNSysTimer, EachReadingMeasuresOnlyTheTimeSinceThePreviousOne) {
    struct Case {
        const char* name;
        int ageMs;  // how long the timer lived before the first reading
    };
    const Case cases[] = {{"new timer", 0}, {"old timer", 300}};
    for (const Case& c : cases) {
        ZYNSysTimer timer;
        std::this_thread::sleep_for(std::chrono::milliseconds(c.ageMs));
        std::int64_t first = -1;
        const Clock::time_point outerStart = Clock::now();
        timer.GetTime(&first, nullptr);
        const Clock::time_point innerStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const Clock::time_point innerEnd = Clock::now();
        std::int64_t second = -1, cpu = -1;
        timer.GetTime(&second, &cpu);
        const Clock::time_point outerEnd = Clock::now();
        EXPECT_GE(first, c.ageMs * 1000 - kSlackUs) << c.name;
        EXPECT_GE(second, Microseconds(innerEnd - innerStart) - kSlackUs) << c.name;
        EXPECT_LE(second, Microseconds(outerEnd - outerStart) + kSlackUs) << c.name;
        EXPECT_GE(cpu, 0) << c.name;
        EXPECT_LT(cpu, 50000) << c.name;  // a sleeping thread
    }
}

// One thread spins for 300 ms between two readings of a timer it built; a second timer built on
// that thread before the spin is read, while the spinner still lives, from a thread that only
// sleeps. The CPU time is the reading thread's: the spin shows in the first, and the second
// sees none of it.
TEST(ZYNSysTimer, CpuTimeIsTheReadingThreadsOwn) {
    std::unique_ptr<ZYNSysTimer> builtOnSpinner;
    std::int64_t spinning = -1, sleeping = -1;
    std::promise<void> spun, read;
    std::thread spinner([&] {
        ZYNSysTimer readHere;
        builtOnSpinner = std::make_unique<ZYNSysTimer>();
        readHere.GetTime(nullptr, nullptr);
        // Spin until the system has charged this thread 300 ms since that reading: on a loaded
        // machine a wall-clock spin may get a fraction of that, and the thread's start-up alone
        // may already have been charged tens of milliseconds.
        const std::int64_t from = OwnCpuMicroseconds();
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
        while (OwnCpuMicroseconds() - from < 300000 && Clock::now() < giveUp) {
        }
        readHere.GetTime(nullptr, &spinning);
        spun.set_value();
        read.get_future().wait();
    });
    std::thread sleeper([&] {
        spun.get_future().wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        builtOnSpinner->GetTime(nullptr, &sleeping);
        read.set_value();
    });
    sleeper.join();
    spinner.join();
    struct Case {
        const char* name;
        std::int64_t cpu;
        std::int64_t least;
        std::int64_t most;
    };
    const Case cases[] = {
        {"spinning reader", spinning, 280000, 1000000},
        {"sleeping reader of a timer built on the spinning thread", sleeping, -50000, 50000},
    };
    for (const Case& c : cases) {
        EXPECT_GE(c.cpu, c.least) << c.name;
        EXPECT_LE(c.cpu, c.most) << c.name;
    }
}

TEST(QORSysElapseTime, BothNamesAnswerMicrosecondsUntilReset) {
    const Clock::time_point outerStart = Clock::now();
    QORSysElapseTime watch;
    const Clock::time_point innerStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double inDouble = -1, nanoInDouble = -1;
    std::uint64_t inInteger = 0, nanoInInteger = 0;
    const Clock::time_point innerEnd = Clock::now();
    ASSERT_EQ(watch.GetElapse(inDouble), 0);
    ASSERT_EQ(watch.GetElapse(inInteger), 0);
    ASSERT_EQ(watch.GetElapseNano(nanoInDouble), 0);
    ASSERT_EQ(watch.GetElapseNano(nanoInInteger), 0);
    const Clock::time_point outerEnd = Clock::now();
    const double least = static_cast<double>(Microseconds(innerEnd - innerStart) - kSlackUs);
    const double most = static_cast<double>(Microseconds(outerEnd - outerStart) + kSlackUs);
    for (double value : {inDouble, static_cast<double>(inInteger), nanoInDouble, static_cast<double>(nanoInInteger)}) {
        EXPECT_GE(value, least);
        EXPECT_LE(value, most);
    }
    EXPECT_EQ(QORSysElapseTime::S_Init, 1);
    EXPECT_GT(QORSysElapseTime::S_Frequency, 0);

    ASSERT_EQ(watch.Reset(), 0);
    std::uint64_t afterReset = 0;
    ASSERT_EQ(watch.GetElapse(afterReset), 0);
    EXPECT_LT(afterReset, 50000u);
}

TEST(QORSysElapseTime, IntegerArithmeticHoldsPastTheProductsWrap) {
    struct Case {
        const char* name;
        std::uint64_t ticks;
        std::uint64_t frequency;
        std::uint64_t expected;
    };
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const Case cases[] = {
        {"nothing elapsed", 0, 10000000, 0},
        {"a tick short of a second", 9999999, 10000000, 999999},
        {"21 days at 10 MHz", 18144000000000, 10000000, 1814400000000},
        {"last product that fits", 18446744073709, 10000000, 1844674407370},
        {"first product that wraps", 18446744073710, 10000000, 1844674407371},
        {"2^63 ticks", 9223372036854775808u, 10000000, 922337203685477580},
        {"every tick at 10 MHz", kMax, 10000000, 1844674407370955161},
        {"every tick at an odd frequency", kMax, 3579545, 5153376776576227317},
        {"no frequency", 12345, 0, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(ZYNSysElapseMicroseconds(c.ticks, c.frequency), c.expected) << c.name;
}
