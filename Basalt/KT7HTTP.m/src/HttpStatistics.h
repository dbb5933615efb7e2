#pragma once
// The clock of the HTTP drivers' timing observers.

#include <cstdint>

class HttpStatistics {
public:
    // Milliseconds since 1970-01-01 UTC. With outZoneHours, also the local zone's offset from
    // UTC in whole hours (daylight saving counted when in force; 0 when the zone is unknown).
    // The zone is read once per process.
    static std::int64_t GetEpochTime(std::int32_t* outZoneHours = nullptr);
};
