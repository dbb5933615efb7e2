// The registry's look-ups of a loaded module beside the bare calls they wrap, in the same run:
// ZYNSysLifeCycleDynamicGetFunction beside GetProcAddress and ZYNSysLifeCycleDynamicLoad of
// "kernel32" beside GetModuleHandleA (goal: each at least 0.8x the speed of its bare call; one
// recursive mutex and a name check on top, never a load). Each figure is the best of five rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "ZYNSysLifeCycle.h"
#include "ZYNSysWin.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 1'000'000;
volatile const void* g_sink;

template <typename Call>
double NanosecondsPerCall(Call call) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kCalls; ++i) g_sink = call();
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kCalls);
    }
    return best;
}

// Speed relative to the bare call: 1.00 is as fast, below 0.80 misses the goal.
void Report(const char* what, double ns, double bare) {
    std::printf("%-44s %7.2f ns  (speed %.2fx of bare%s)\n", what, ns, bare / ns, bare / ns < 0.8 ? ", BELOW GOAL" : "");
}

}  // namespace

int main() {
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    void* module = nullptr;
    if (!kernel || ZYNSysLifeCycleDynamicLoad("kernel32", &module) != 0 || module != kernel) {
        std::printf("kernel32 not found through the registry\n");
        return 1;
    }
    const double bareProc = NanosecondsPerCall([&] { return reinterpret_cast<const void*>(::GetProcAddress(kernel, "GetTickCount")); });
    const double proc = NanosecondsPerCall([&] { return ZYNSysLifeCycleDynamicGetFunction(module, "GetTickCount"); });
    const double bareHandle = NanosecondsPerCall([] { return static_cast<const void*>(::GetModuleHandleA("kernel32.dll")); });
    const double load = NanosecondsPerCall([] {
        void* found = nullptr;
        ZYNSysLifeCycleDynamicLoad("kernel32", &found);
        return static_cast<const void*>(found);
    });
    std::printf("%-44s %7.2f ns\n", "GetProcAddress", bareProc);
    Report("ZYNSysLifeCycleDynamicGetFunction", proc, bareProc);
    std::printf("%-44s %7.2f ns\n", "GetModuleHandleA", bareHandle);
    Report("ZYNSysLifeCycleDynamicLoad (already loaded)", load, bareHandle);
    return 0;
}
