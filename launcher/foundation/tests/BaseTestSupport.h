#pragma once
// Shared by the base-service tests: child cases that work in the parent's test folder and
// report "@@key=value" lines to it, and recorders for the logger's seams.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "Clock.h"
#include "EventLogSink.h"
#include "LogSink.h"
#include "TestFolder.h"

using EnvList = std::vector<std::pair<std::string, std::string>>;

// ---- parent side ----
// Runs a child case with VAROMET_TEST_DIR = dir and the given variables; the launcher's own
// variables (WEX_TRQ_*, TrqConfPath) are unset unless given. program: a copy of this exe.
ChildProcess::Result RunChild(const char* name, const TestFolder& dir, const EnvList& env = {},
                              const std::string& program = {});
// Every value the child reported under key, in order.
std::vector<std::string> Said(const std::string& output, const std::string& key);
// The first one, or "<none>".
std::string SaidOne(const std::string& output, const std::string& key);

// ---- child side ----
std::string ChildDir();
std::string ChildArg();
// "@@key=value", line feeds in the value written as "\n".
void Say(const std::string& key, const std::string& value);

// ---- both ----
std::string ReadFileBytes(const std::string& path);  // empty when absent
bool WriteFileBytes(const std::string& path, std::string_view bytes);
bool PathExists(const std::string& path);
// Lines of a text written in text mode (CR LF).
std::vector<std::string> SplitCrLf(const std::string& text);
// 100-ns units since 1970 of a UTC date and time.
std::int64_t UtcUnits(int year, int month, int day, int hour, int minute, int second);

class FixedClock final : public Clock {
public:
    explicit FixedClock(std::int64_t now) : now_(now) {}
    std::int64_t Now() override { return now_.load(); }
    void Set(std::int64_t now) { now_.store(now); }

private:
    std::atomic<std::int64_t> now_;
};

class RecordingSink final : public LogSink {
public:
    struct Entry {
        int level;
        bool deferred;
        std::string text;
    };
    void Log(int level, std::string_view m) override { Add({level, false, std::string(m)}); }
    void LogDeferred(std::string_view m, int level) override { Add({level, true, std::string(m)}); }
    void ThrowEvent(int level, std::string_view text, std::uint16_t) override {
        Add({level, false, "EVENT:" + std::string(text)});
    }
    std::vector<Entry> Take();
    bool Has(const std::string& text);

private:
    void Add(Entry e);
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

class FakeEvents final : public EventLogSink {
public:
    struct Event {
        std::uint16_t type, category;
        std::uint32_t id;
        std::wstring text;
    };
    explicit FakeEvents(bool released = true) : released_(released) {}
    bool Report(std::uint16_t type, std::uint16_t category, std::uint32_t id, std::wstring_view text) override;
    std::vector<Event> events;

private:
    bool released_;
    std::mutex mutex_;
};
