#pragma once
// The launcher's log: one file a day in a per-process folder, every line echoed to the
// debugger and standard output, an optional copy in the event log, and a queue for the
// lines that come before the file is ready.

#include <cstdint>
#include <string>
#include <string_view>

#include "Seam.h"

class EventLogSink;

class Logger {
public:
    // Immediate entry points: formatted, filtered by level and written at once.
    static void Internal(std::string_view message);
    static void InternalW(std::wstring_view message);
    static void Debug(std::string_view message);
    static void DebugW(std::wstring_view message);
    static void Info(std::string_view message);
    static void Warn(std::string_view message);
    static void WarnW(std::wstring_view message);
    static void Error(std::string_view message);
    static void ErrorW(std::wstring_view message);
    static void WarnWithSystemError(std::string_view message);
    static void ErrorWithSystemError(std::string_view message);
    static void ErrorWithSystemErrorW(std::wstring_view message);
    // Queued entry points: formatted and echoed; the file write waits for the next
    // immediate line.
    static void DeferredInternal(std::string_view message);
    static void DeferredInternalW(std::wstring_view message);
    static void DeferredDebug(std::string_view message);
    static void DeferredWarn(std::string_view message);
    static void DeferredError(std::string_view message);

    static void Log(int level, std::string_view message);
    static void LogDeferred(std::string_view message, int level);

    // Once per process; later calls change nothing.
    static bool Init(const std::string& name, const std::string& folder, const std::string& baseFileName);
    // Writes the lines still queued (program exit calls it).
    static void Flush();
    static std::string FormatLine(int level, std::string_view message);
    static void ThrowEvent(int level, std::string_view text, std::uint16_t category);
    // 1000 when unknown.
    static int LevelFromName(const std::string& name);

    // Installs where event-log copies go (null restores the Windows event log); answers the
    // sink installed before.
    static EventLogSink* SetEventSink(EventLogSink* sink);

    static constexpr std::size_t kMaxMessage = 40960;
    // The longest text one event-log string may hold.
    static constexpr std::size_t kMaxEventText = 31839;
    // Lines waiting for the file; past this many the oldest are dropped.
    static constexpr std::size_t kMaxPending = 10000;
};

using ScopedEventSink = ScopedSeam<EventLogSink, &Logger::SetEventSink>;
