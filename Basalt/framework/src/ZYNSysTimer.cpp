#include "ZYNSysTimer.h"

#include <ctime>

namespace {

constexpr std::int64_t kMicrosecondsPerSecond = 1000000;
// Microseconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochMicroseconds = 11644473600000000;

std::int64_t FileTimeTicks(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<std::int64_t>(value.QuadPart);
}

}  // namespace

ZYNSysTimer::ZYNSysTimer() {
    InitalizeElpTimes();
    InitalizeCpuTimes();
}

ZYNSysTimer::~ZYNSysTimer() = default;

void ZYNSysTimer::InitalizeElpTimes() {
    LARGE_INTEGER frequency;
    performanceCounter_ = ::QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0;
    elapsedScale_ = performanceCounter_ ? 1000000.0 / static_cast<double>(frequency.QuadPart) : 1000.0;
    elapsedStart_ = elapsedNow_ = elapsedMark_ = GetElpTimeInternal();
}

void ZYNSysTimer::InitalizeCpuTimes() {
    cpuScale_ = 0.1;
    thread_ = ::GetCurrentThread();
    cpuNow_ = 0;  // what a failed first reading answers
    cpuStart_ = cpuNow_ = cpuMark_ = GetCpuTimeInternal();
}

std::int64_t ZYNSysTimer::GetElpTimeInternal() {
    if (performanceCounter_) {
        LARGE_INTEGER now;
        // Counter ticks and clock() milliseconds cannot be mixed: keep the previous reading.
        return ::QueryPerformanceCounter(&now) ? now.QuadPart : elapsedNow_;
    }
    // clock() counts milliseconds here, which the fallback scale of 1000 assumes.
    return static_cast<std::int64_t>(std::clock());
}

std::int64_t ZYNSysTimer::GetCpuTimeInternal() {
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(thread_, &created, &exited, &kernel, &user)) return cpuNow_;
    return FileTimeTicks(kernel) + FileTimeTicks(user);
}

void ZYNSysTimer::GetTime(std::int64_t* elapsedMicroseconds, std::int64_t* cpuMicroseconds) {
    elapsedNow_ = GetElpTimeInternal();
    cpuNow_ = GetCpuTimeInternal();
    if (elapsedMicroseconds) {
        lastElapsed_ = static_cast<double>(elapsedNow_ - elapsedMark_) * elapsedScale_;
        *elapsedMicroseconds = static_cast<std::int64_t>(lastElapsed_);
    }
    if (cpuMicroseconds) {
        lastCpu_ = static_cast<double>(cpuNow_ - cpuMark_) * cpuScale_;
        *cpuMicroseconds = static_cast<std::int64_t>(lastCpu_);
    }
    elapsedMark_ = elapsedNow_;
    cpuMark_ = cpuNow_;
}

void ZYNSysTimerConvert(std::int64_t microseconds, std::int32_t* out) {
    if (!out) return;
    static constexpr std::int64_t kUnits[] = {604800000000, 86400000000, 3600000000, 60000000, 1000000, 1000, 1};
    std::int64_t rest = microseconds;
    for (int i = 0; i < 7; ++i) {
        out[i] = static_cast<std::int32_t>(rest / kUnits[i]);
        rest %= kUnits[i];
    }
}

int ZYNSysTimerGetTimeOfDay(ZYNSysTimeOfDay* out) {
    if (!out) return -1;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const std::int64_t unixMicroseconds = FileTimeTicks(now) / 10 - kUnixEpochMicroseconds;
    out->seconds = static_cast<std::int32_t>(unixMicroseconds / kMicrosecondsPerSecond);
    out->microseconds = static_cast<std::int32_t>(unixMicroseconds % kMicrosecondsPerSecond);
    return 0;
}
