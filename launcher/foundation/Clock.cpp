#include "Clock.h"

#include "ZYNSysWin.h"

namespace {

constexpr std::int64_t kEpochDifference = 116444736000000000;  // 1601 to 1970 in 100 ns units

SystemClock g_systemClock;
constinit Seam<Clock> g_clock{g_systemClock};

}  // namespace

std::int64_t SystemClock::Now() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER units;
    units.LowPart = now.dwLowDateTime;
    units.HighPart = now.dwHighDateTime;
    return static_cast<std::int64_t>(units.QuadPart) - kEpochDifference;
}

Clock* SetClock(Clock* clock) { return g_clock.Set(clock); }
Clock& GetClock() { return g_clock.Get(); }
