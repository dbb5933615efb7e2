#pragma once
// Wall-clock and CPU time of the reading thread, in microseconds between successive readings,
// and the calendar-free helpers around them.

#include <cstdint>

#include "QORSysExport.h"
#include "ZYNSysWin.h"

class QOR_SYS_API ZYNSysTimer {
public:
    ZYNSysTimer();
    ZYNSysTimer(const ZYNSysTimer& other) = default;
    ZYNSysTimer& operator=(const ZYNSysTimer& other) = default;
    virtual ~ZYNSysTimer();

    // The time since the previous reading (or since construction) into each pointer given;
    // both marks move to now either way.
    void GetTime(std::int64_t* elapsedMicroseconds, std::int64_t* cpuMicroseconds);

protected:
    std::int64_t GetElpTimeInternal();
    std::int64_t GetCpuTimeInternal();
    void InitalizeElpTimes();
    void InitalizeCpuTimes();

private:
    double elapsedScale_ = 1000.0;
    double cpuScale_ = 0.1;
    double lastElapsed_ = 0.0;
    double lastCpu_ = 0.0;
    std::int64_t elapsedStart_ = 0;
    std::int64_t cpuStart_ = 0;
    std::int64_t elapsedNow_ = 0;
    std::int64_t cpuNow_ = 0;
    std::int64_t elapsedMark_ = 0;
    std::int64_t cpuMark_ = 0;
    bool performanceCounter_ = false;
    // The pseudo-handle of GetCurrentThread: it names whichever thread reads the timer and
    // needs no closing.
    HANDLE thread_ = nullptr;
};

// Unix time. Both fields are 32 bits wide and callers rely on this layout, so the seconds
// wrap in 2038.
struct ZYNSysTimeOfDay {
    std::int32_t seconds;
    std::int32_t microseconds;
};

// Splits a microsecond count into weeks, days, hours, minutes, seconds, milliseconds and
// microseconds (truncating: a negative count gives negative fields). Nothing for NULL.
QOR_SYS_API void ZYNSysTimerConvert(std::int64_t microseconds, std::int32_t* out);
// 0, or -1 for NULL.
QOR_SYS_API int ZYNSysTimerGetTimeOfDay(ZYNSysTimeOfDay* out);
