#include "EventLogSink.h"

#include <string>

#include "ZYNSysEventSource.h"

bool WindowsEventLogSink::Report(std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                                 std::wstring_view text) {
    ZYNSysEventSource source(::RegisterEventSourceW(nullptr, L"Varomet Launcher"));
    if (!source) return true;  // nothing to report to: dropped silently
    std::wstring copy(text);
    const wchar_t* strings[] = {copy.c_str()};
    ::ReportEventW(source.Get(), type, category, eventId, nullptr, 1, 0, strings, nullptr);
    // Released by hand: its result is reported.
    return ::DeregisterEventSource(source.Take()) != FALSE;
}
