#pragma once
// A stopwatch on the performance counter. Both elapse names answer microseconds.

#include <cstdint>

#include "QORSysExport.h"

class QOR_SYS_API QORSysElapseTime {
public:
    QORSysElapseTime();

    // 0 with the microseconds since the start (or the last Reset), -1 when the counter cannot be
    // read or has no frequency; the out value is left alone then.
    int GetElapse(double& microseconds);
    int GetElapse(std::uint64_t& microseconds);
    int GetElapseNano(double& microseconds);
    int GetElapseNano(std::uint64_t& microseconds);
    // 0, or -1 when the counter cannot be read.
    int Reset();

    // The counter's frequency, read by the first object of the process.
    static std::int64_t S_Frequency;
    static int S_Init;

private:
    std::int64_t start_ = 0;
};

// ticks x 1,000,000 / frequency without the intermediate product: it would wrap after
// 2^64 / 1,000,000 ticks (about 21 days at 10 MHz). 0 for a frequency of 0.
std::uint64_t ZYNSysElapseMicroseconds(std::uint64_t ticks, std::uint64_t frequency);
