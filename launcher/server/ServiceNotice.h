#pragma once
// Notices to the launcher service on its pipe: one JSON object per connection, no answer.

#include <cstdint>

class ServiceNotice {
public:
    // {"closingSession": <session>}; false only when the write failed.
    static bool SendClosing(std::uint32_t session);
};
