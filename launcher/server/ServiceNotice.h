#pragma once
// Notices to the launcher service on its pipe: one JSON object per connection, no answer.

#include <cstdint>

// A service whose instances stay busy is waited for this many times, then given up:
// a stuck service must not hold the writing thread.
constexpr int kServiceBusyRetries = 3;

class ServiceNotice {
public:
    // {"closingSession": <session>}; false only when the write failed.
    static bool SendClosing(std::uint32_t session);
};
