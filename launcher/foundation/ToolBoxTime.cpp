#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "Clock.h"
#include "ToolBox.h"

namespace {

constexpr std::int64_t kUnitsPerSecond = 10000000;
constexpr std::int64_t kEpochDifference = 116444736000000000;  // 1601 to 1970 in 100 ns units

std::int64_t NowUnits() {
    return GetClock().Now();
}

// Local time through the platform's own zone rules, the same ones the zone text reads;
// false for a time the platform cannot convert.
bool ToLocalTm(std::int64_t seconds, std::tm& out) {
    if (seconds < 0 || seconds > (INT64_MAX - kEpochDifference) / kUnitsPerSecond) return false;
    ULARGE_INTEGER units;
    units.QuadPart = static_cast<ULONGLONG>(seconds * kUnitsPerSecond + kEpochDifference);
    FILETIME utc{units.LowPart, units.HighPart};
    SYSTEMTIME utcTime, local;
    if (!::FileTimeToSystemTime(&utc, &utcTime)) return false;
    if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utcTime, &local)) return false;
    out = std::tm{};
    out.tm_year = local.wYear - 1900;
    out.tm_mon = local.wMonth - 1;
    out.tm_mday = local.wDay;
    out.tm_hour = local.wHour;
    out.tm_min = local.wMinute;
    out.tm_sec = local.wSecond;
    out.tm_wday = local.wDayOfWeek;
    out.tm_isdst = -1;
    return true;
}

// Computed once per process: a daylight-saving change during the run is not seen.
const std::string& ZoneText() {
    static const std::string text = [] {
        TIME_ZONE_INFORMATION zone;
        DWORD kind = ::GetTimeZoneInformation(&zone);
        if (kind == TIME_ZONE_ID_INVALID) return std::string("(?)");
        long minutes = std::labs(zone.Bias);
        if (kind == TIME_ZONE_ID_STANDARD) minutes += zone.StandardBias;
        char letter = kind == TIME_ZONE_ID_STANDARD ? 's' : kind == TIME_ZONE_ID_DAYLIGHT ? 'd' : 'i';
        char sign = zone.Bias > 0 ? '-' : '+';
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%c%.2li%.2li%c", sign, minutes / 60, minutes % 60, letter);
        return std::string(buffer);
    }();
    return text;
}

}  // namespace

std::string ToolBox::FormatTime(std::optional<std::int64_t> time, bool withMillis, bool withZone,
                                const char* pattern) {
    std::int64_t units = time ? *time : NowUnits();
    // A negative time is refused here: the division below rounds it up to the epoch.
    if (units < 0) return kUnknownTime;
    std::int64_t seconds = units / kUnitsPerSecond;
    std::tm local;
    char text[256];
    if (!pattern || !ToLocalTm(seconds, local) || std::strftime(text, sizeof text, pattern, &local) == 0) {
        return kUnknownTime;
    }
    std::string result = text;
    if (withMillis) {
        char millis[32];
        std::snprintf(millis, sizeof millis, ".%.3lld", static_cast<long long>((units % kUnitsPerSecond) / 10000));
        result += millis;
    }
    if (withZone) result += ZoneText();
    return result;
}

std::string ToolBox::FormatSeconds(std::optional<std::int64_t> seconds, bool withZone, const char* pattern) {
    std::optional<std::int64_t> units;
    if (seconds) {
        bool fits = *seconds >= 0 && *seconds <= INT64_MAX / kUnitsPerSecond;
        units = fits ? *seconds * kUnitsPerSecond : -1;  // -1 reads as a time that cannot be converted
    }
    return FormatTime(units, false, withZone, pattern);
}

std::int64_t ToolBox::NowSeconds() {
    return NowUnits() / kUnitsPerSecond;
}
