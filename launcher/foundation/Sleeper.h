#pragma once
// Waits between retries. The real one sleeps; tests install a faster one.

#include <cstdint>

#include "Seam.h"

class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// Installs a sleeper for the whole process (null restores the real one); answers the one
// installed before.
Sleeper* SetSleeper(Sleeper* sleeper);
Sleeper& GetSleeper();
using ScopedSleeper = ScopedSeam<Sleeper, &SetSleeper>;
