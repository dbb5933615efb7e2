// Turns of ticketed calls: one ticket shares its turn, another waits for all of its holders, in
// arrival order, until its limit or the stop order.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "TicketTurn.h"

namespace {

using namespace std::chrono_literals;

bool Never() { return false; }

// Take on a thread of its own; the pass comes back through the future, still held.
std::future<TicketTurn::Pass> TakeLater(TicketTurn& turn, const std::string& ticket,
                                        std::chrono::milliseconds limit = 20s) {
    return std::async(std::launch::async, [&turn, ticket, limit] { return turn.Take(ticket, limit, Never); });
}

// A wait that ends within this is taken for one that did not wait; a waiting call is given this
// to show it would not end.
constexpr auto kWhile = 300ms;
constexpr auto kSoon = 10s;

bool Waiting(std::future<TicketTurn::Pass>& call) { return call.wait_for(kWhile) == std::future_status::timeout; }

// The pass of a call let in soon; none when it still waits.
TicketTurn::Pass Admitted(std::future<TicketTurn::Pass>& call) {
    return call.wait_for(kSoon) == std::future_status::ready ? call.get() : TicketTurn::Pass();
}

TEST(TicketTurn, CallsOfOneTicketShareTheTurnAndAnotherWaitsForAllOfThem) {
    TicketTurn turn;
    TicketTurn::Pass first = turn.Take("TGT-A", 20s, Never);
    ASSERT_TRUE(first.Held());
    auto second = TakeLater(turn, "TGT-A");
    TicketTurn::Pass shared = Admitted(second);
    EXPECT_TRUE(shared.Held());

    auto other = TakeLater(turn, "TGT-B");
    EXPECT_TRUE(Waiting(other));
    first.Release();
    EXPECT_TRUE(Waiting(other)) << "let in while a call of the ticket in turn was still out";
    shared.Release();
    EXPECT_TRUE(Admitted(other).Held());
}

TEST(TicketTurn, AWaitingCallIsNotOvertakenByLaterCallsOfTheTicketInTurn) {
    TicketTurn turn;
    TicketTurn::Pass holder = turn.Take("TGT-A", 20s, Never);
    auto waiting = TakeLater(turn, "TGT-B");
    ASSERT_TRUE(Waiting(waiting));
    auto later = TakeLater(turn, "TGT-A");
    EXPECT_TRUE(Waiting(later)) << "a later call of the ticket in turn went before the one waiting";
    holder.Release();
    TicketTurn::Pass second = Admitted(waiting);
    EXPECT_TRUE(second.Held());
    EXPECT_TRUE(Waiting(later));
    second.Release();
    EXPECT_TRUE(Admitted(later).Held());
}

TEST(TicketTurn, AWaitEndsAtItsLimitOrOnTheStopOrderAndLeavesTheLine) {
    TicketTurn turn;
    TicketTurn::Pass holder = turn.Take("TGT-A", 20s, Never);
    struct Case {
        const char* name;
        std::chrono::milliseconds limit;
        bool stop;
    } cases[] = {{"limit", 400ms, false}, {"stop order", 20s, true}};
    for (const Case& c : cases) {
        std::atomic<bool> stop{false};
        auto call =
            std::async(std::launch::async, [&] { return turn.Take("TGT-B", c.limit, [&] { return stop.load(); }); });
        EXPECT_TRUE(Waiting(call)) << c.name;
        stop = c.stop;
        ASSERT_EQ(call.wait_for(kSoon), std::future_status::ready) << c.name;
        EXPECT_FALSE(call.get().Held()) << c.name;
    }
    // Nothing waits any more: the ticket in turn is let in at once, and the next after it.
    auto again = TakeLater(turn, "TGT-A");
    TicketTurn::Pass shared = Admitted(again);
    EXPECT_TRUE(shared.Held());
    holder.Release();
    shared.Release();
    EXPECT_TRUE(turn.Take("TGT-C", 0ms, Never).Held());
}

// A plant asks the CAS server, whose answer may set cookies: within a turn each cookie URL is
// planted once, and a call of the turn waits for a plant in progress instead of making its own.
TEST(TicketTurn, ACookieUrlIsPlantedOncePerTurn) {
    TicketTurn turn;
    TicketTurn::Pass first = turn.Take("TGT-A", 20s, Never);
    TicketTurn::Pass second = turn.Take("TGT-A", 20s, Never);
    std::atomic<int> plants{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto planting = std::async(std::launch::async, [&] {
        first.PlantOnce("http://auth/", [&] { ++plants; released.wait(); }, Never);
    });
    while (plants.load() == 0) std::this_thread::sleep_for(1ms);
    auto waiting = std::async(std::launch::async, [&] { second.PlantOnce("http://auth/", [&] { ++plants; }, Never); });
    EXPECT_EQ(waiting.wait_for(kWhile), std::future_status::timeout) << "went on while the plant was in progress";
    second.PlantOnce("http://other-auth/", [&] { plants += 10; }, Never);
    release.set_value();
    ASSERT_EQ(waiting.wait_for(kSoon), std::future_status::ready);
    planting.get();
    EXPECT_EQ(plants.load(), 11);
    // The next turn plants again.
    first.Release();
    second.Release();
    TicketTurn::Pass next = turn.Take("TGT-A", 20s, Never);
    next.PlantOnce("http://auth/", [&] { ++plants; }, Never);
    EXPECT_EQ(plants.load(), 12);
}

}  // namespace
