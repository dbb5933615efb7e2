#pragma once
// A seam for tests: when a sink is installed, every logger entry point hands its message
// to it instead of formatting and writing it.

#include <cstdint>
#include <string_view>

#include "Seam.h"

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void Log(int level, std::string_view message) = 0;
    virtual void LogDeferred(std::string_view message, int level) = 0;
    virtual void ThrowEvent(int level, std::string_view text, std::uint16_t category) = 0;
};

// Installs a sink for the whole process (null restores the logger's own output); the
// sink must outlive every later log call. Answers the sink installed before.
LogSink* SetLogSink(LogSink* sink);
using ScopedLogSink = ScopedSeam<LogSink, &SetLogSink>;
