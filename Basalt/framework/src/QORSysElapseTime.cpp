#include "QORSysElapseTime.h"

#include <atomic>

#include "ZYNSysWin.h"

namespace {

constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;

bool ReadCounter(std::int64_t& value) {
    LARGE_INTEGER now;
    if (!::QueryPerformanceCounter(&now)) return false;
    value = now.QuadPart;
    return true;
}

// Several first objects may read the frequency at once: each writes the same value.
std::int64_t Frequency() {
    std::atomic_ref<int> init(QORSysElapseTime::S_Init);
    std::atomic_ref<std::int64_t> frequency(QORSysElapseTime::S_Frequency);
    if (!init.load(std::memory_order_acquire)) {
        LARGE_INTEGER value;
        frequency.store(::QueryPerformanceFrequency(&value) ? value.QuadPart : 0, std::memory_order_relaxed);
        init.store(1, std::memory_order_release);
    }
    return frequency.load(std::memory_order_relaxed);
}

}  // namespace

std::int64_t QORSysElapseTime::S_Frequency = 0;
int QORSysElapseTime::S_Init = 0;

std::uint64_t ZYNSysElapseMicroseconds(std::uint64_t ticks, std::uint64_t frequency) {
    if (frequency == 0) return 0;
    const std::uint64_t seconds = ticks / frequency;
    const std::uint64_t rest = ticks % frequency;
    return seconds * kMicrosecondsPerSecond + rest * kMicrosecondsPerSecond / frequency;
}

QORSysElapseTime::QORSysElapseTime() {
    Frequency();
    ReadCounter(start_);
}

int QORSysElapseTime::GetElapse(double& microseconds) {
    std::int64_t now = 0;
    const std::int64_t frequency = Frequency();
    if (frequency == 0 || !ReadCounter(now)) return -1;
    microseconds = static_cast<double>(now - start_) * static_cast<double>(kMicrosecondsPerSecond) /
                   static_cast<double>(frequency);
    return 0;
}

int QORSysElapseTime::GetElapse(std::uint64_t& microseconds) {
    std::int64_t now = 0;
    const std::int64_t frequency = Frequency();
    if (frequency == 0 || !ReadCounter(now)) return -1;
    microseconds = ZYNSysElapseMicroseconds(static_cast<std::uint64_t>(now - start_),
                                            static_cast<std::uint64_t>(frequency));
    return 0;
}

int QORSysElapseTime::GetElapseNano(double& microseconds) { return GetElapse(microseconds); }

int QORSysElapseTime::GetElapseNano(std::uint64_t& microseconds) { return GetElapse(microseconds); }

int QORSysElapseTime::Reset() { return ReadCounter(start_) ? 0 : -1; }
