// Trace lines per second from 1 and 8 threads into a rotating file, beside fprintf + fflush of
// the same lines under one critical section (goal: at least 0.7x the plain writes); then a call
// on a client whose output is inactive beside a bare critical-section lock/unlock (goal: the
// call is cheaper). Files go to the temporary folder's ZYNSysTrace folder.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ZYNSysStdioFile.h"
#include "ZYNSysTraceClient.h"
#include "ZYNSysWin.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLines = 40'000;
constexpr int kCalls = 10'000'000;
const char* const kText = "a trace line of a typical length, with a number and some words";

template <typename Write>
double LinesPerSecond(int threads, Write write) {
    double best = 0;
    for (int round = 0; round < 3; ++round) {
        const auto t0 = Clock::now();
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                try {
                    for (int i = 0; i < kLines / threads; ++i) write(t, i);
                } catch (...) {
                    std::fprintf(stderr, "writer %d threw\n", t);
                }
            });
        }
        for (std::thread& thread : pool) thread.join();
        best = std::max(best, kLines / std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

template <typename Call>
double NanosecondsPerCall(Call call) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kCalls; ++i) call(i);
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kCalls);
    }
    return best;
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH + 1];
    if (::GetTempPathW(MAX_PATH + 1, temp) == 0) return 1;
    ::SetEnvironmentVariableW(L"QORTraceDir", temp);
    ::SetEnvironmentVariableW(
        L"ZYNSysTrace", L"--name BENCH --file bench.txt --rotate-file-size 4194304 --rotate-file-count 2|-fidle.txt IDLE -n");
    ZYNSysTraceClient* trace = nullptr;
    ZYNSysTraceClient* idle = nullptr;
    ZYNSysTraceClient::Create(&trace, "BENCH");
    ZYNSysTraceClient::Create(&idle, "IDLE");
    if (trace == nullptr || idle == nullptr) {
        std::fprintf(stderr, "trace clients not made\n");
        return 1;
    }

    const std::wstring plainName = std::wstring(temp) + L"ZYNSysTrace\\plain_bench.txt";
    ZYNSysStdioFile plain(::_wfopen(plainName.c_str(), L"w+"));
    if (!plain) return 1;
    CRITICAL_SECTION section;
    ::InitializeCriticalSection(&section);
    const char* const prefix = "[2026-01-01T00:00:00.000Z][BENCH][0000000000000001] ";

    std::printf("%-44s %12s %8s\n", "lines per second", "", "ratio");
    for (int threads : {1, 8}) {
        const double traced = LinesPerSecond(threads, [&](int t, int i) {
            ZYNSysTraceClient::InfoPrintf(trace, "%s %d from %d", kText, i, t);
        });
        const double bare = LinesPerSecond(threads, [&](int t, int i) {
            ::EnterCriticalSection(&section);
            std::fprintf(plain.Get(), "[I]%s%s %d from %d\n", prefix, kText, i, t);
            std::fflush(plain.Get());
            ::LeaveCriticalSection(&section);
        });
        std::printf("trace, %d thread(s), rotating file %17.0f %7.2fx\n", threads, traced, traced / bare);
        std::printf("fprintf + fflush, %d thread(s)           %12.0f\n", threads, bare);
    }

    const double inactive = NanosecondsPerCall([&](int i) { ZYNSysTraceClient::InfoPrintf(idle, "%d", i); });
    const double lock = NanosecondsPerCall([&](int) {
        ::EnterCriticalSection(&section);
        ::LeaveCriticalSection(&section);
    });
    std::printf("inactive client call %23.2f ns %7.2fx\n", inactive, inactive / lock);
    std::printf("critical section lock/unlock %15.2f ns\n", lock);
    ::DeleteCriticalSection(&section);
    plain.Reset();
    ::DeleteFileW(plainName.c_str());
    return 0;
}
