#include "QORSocketTrace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "ZYNSysTimer.h"
#include "ZYNSysWin.h"

namespace {

INIT_ONCE g_switchRead = INIT_ONCE_STATIC_INIT;
std::atomic<bool> g_on{false};

BOOL CALLBACK ReadSwitch(PINIT_ONCE, PVOID, PVOID*) {
    g_on.store(::GetEnvironmentVariableA("QORSocketTrace", nullptr, 0) > 0, std::memory_order_release);
    return TRUE;
}

}  // namespace

void QORSocketTraceInit() { ::InitOnceExecuteOnce(&g_switchRead, &ReadSwitch, nullptr, nullptr); }

bool QORSocketTraceOn() noexcept { return g_on.load(std::memory_order_acquire); }

void QORSocketTrace(const char* format, ...) {
    char message[200];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    ZYNSysTimeOfDay now{};
    ZYNSysTimerGetTimeOfDay(&now);
    const std::time_t seconds = now.seconds;
    std::tm local{};
    localtime_s(&local, &seconds);
    std::printf("[%d-%02d-%02d@%02d:%02d:%02d.%03d][%016X]%s\n", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(now.microseconds / 1000),
                static_cast<unsigned>(::GetCurrentThreadId()), message);
    std::fflush(stdout);
}
