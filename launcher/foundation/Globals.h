#pragma once
// Process-wide state shared across the launcher.

#include <atomic>

// The stop order: set once when the launcher stops, never cleared; long loops poll it.
extern std::atomic<bool> G_STOP;
