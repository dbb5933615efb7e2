#pragma once
// The framework's threads. For now only the id of the calling thread, which log lines carry.

#include <cstdint>

class QORThreads {
public:
    static std::uint32_t GetCurrentThreadId();
};
