#include "HttpStatistics.h"

#include "ZYNSysWin.h"

namespace {

// The local zone's offset in whole hours, read once.
std::int32_t ZoneHours() {
    static const std::int32_t hours = [] {
        TIME_ZONE_INFORMATION zone{};
        const DWORD state = ::GetTimeZoneInformation(&zone);
        LONG bias = zone.Bias;
        if (state == TIME_ZONE_ID_STANDARD) {
            bias += zone.StandardBias;
        } else if (state == TIME_ZONE_ID_DAYLIGHT) {
            bias += zone.DaylightBias;
        } else if (state != TIME_ZONE_ID_UNKNOWN) {  // a zone without daylight saving has its Bias alone
            return 0;
        }
        return static_cast<std::int32_t>(-bias / 60);
    }();
    return hours;
}

}  // namespace

std::int64_t HttpStatistics::GetEpochTime(std::int32_t* outZoneHours) {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const std::int64_t ticks =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    if (outZoneHours != nullptr) *outZoneHours = ZoneHours();
    return (ticks / 10 - 11644473600000000LL) / 1000;
}
