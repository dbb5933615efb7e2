// A test program that dies in the middle of a test, for the runner's own check: a run that never
// reaches GoogleTest's summary counts as failed, whatever status the system ends it with.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

volatile bool deeper = true;

int Deeper(int depth) {
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    return deeper ? Deeper(depth + 1) + frame[0] : 0;
}

}  // namespace

TEST(Dying, ByAccessViolation) {
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

TEST(Dying, ByStackOverflow) {
    std::fflush(stdout);
    EXPECT_NE(Deeper(0), 0);
}

// As Wine ends a program whose stack overflowed with no room left to report it.
TEST(Dying, WithStatusZero) {
    std::fflush(stdout);
    std::_Exit(0);
}

TEST(Dying, NotAtAll) { SUCCEED(); }
