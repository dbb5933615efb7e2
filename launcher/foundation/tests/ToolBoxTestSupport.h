#pragma once
// What the ToolBox tests share: a log sink that records every message and a clock that
// stands still, each installed for the life of the object.

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "Clock.h"
#include "LogSink.h"

struct LogEntry {
    char road;  // 'L' immediate, 'Q' queued, 'E' event log
    int level;
    std::string text;
    bool operator==(const LogEntry&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const LogEntry& e) {
    return out << e.road << e.level << ":" << e.text;
}

class RecordingSink final : public LogSink {
public:
    void Log(int level, std::string_view message) override { entries.push_back({'L', level, std::string(message)}); }
    void LogDeferred(std::string_view message, int level) override {
        entries.push_back({'Q', level, std::string(message)});
    }
    void ThrowEvent(int level, std::string_view text, std::uint16_t category) override {
        entries.push_back({'E', level, std::string(text) + "#" + std::to_string(category)});
    }

    std::vector<LogEntry> Road(char road) const {
        std::vector<LogEntry> out;
        for (const LogEntry& e : entries)
            if (e.road == road) out.push_back(e);
        return out;
    }

    std::vector<LogEntry> entries;

private:
    ScopedLogSink installed_{*this};
};

class FixedClock final : public Clock {
public:
    explicit FixedClock(std::int64_t units) : units_(units) {}
    std::int64_t Now() override { return units_; }

private:
    std::int64_t units_;
    ScopedClock installed_{*this};
};

constexpr std::int64_t kUnitsPerSecond = 10000000;
