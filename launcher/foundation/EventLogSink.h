#pragma once
// Where the logger's event-log copies go. The real sink reports to the Windows event
// log; tests install their own (an event log cannot be read back everywhere).

#include <cstdint>
#include <string_view>

class EventLogSink {
public:
    virtual ~EventLogSink() = default;
    // False only when the event source could not be released after reporting.
    virtual bool Report(std::uint16_t type, std::uint16_t category, std::uint32_t eventId, std::wstring_view text) = 0;
};

class WindowsEventLogSink final : public EventLogSink {
public:
    bool Report(std::uint16_t type, std::uint16_t category, std::uint32_t eventId, std::wstring_view text) override;
};
