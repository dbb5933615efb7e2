#pragma once
// The wall clock, as 100-nanosecond units since 1970-01-01 UTC. The real one reads the
// system time; tests install their own through SetClock.

#include <cstdint>

#include "Seam.h"

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t Now() = 0;
};

class SystemClock final : public Clock {
public:
    std::int64_t Now() override;
};

// Installs a clock for the whole process (null restores the system clock); answers the one
// installed before.
Clock* SetClock(Clock* clock);
Clock& GetClock();
using ScopedClock = ScopedSeam<Clock, &SetClock>;
