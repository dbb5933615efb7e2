// "QORSysTS.dll" for the thread tests: records each per-thread C-locale switch (the caller's
// thread id and the value) so that a test can read them back in order.

#include <windows.h>

#include <atomic>

namespace {

struct Switch {
    DWORD threadId;
    int value;
};

constexpr int kMax = 256;
Switch g_switches[kMax];
std::atomic<int> g_count{0};

}  // namespace

extern "C" __declspec(dllexport) int ZYNSysCLocaleSetPerThread(int value) {
    const int i = g_count.fetch_add(1);
    if (i < kMax) g_switches[i] = {::GetCurrentThreadId(), value};
    return 0;
}

// Copies up to max recorded switches; answers how many were recorded.
extern "C" __declspec(dllexport) int FakeLocaleSwitches(DWORD* threadIds, int* values, int max) {
    const int n = g_count.load();
    for (int i = 0; i < n && i < max && i < kMax; ++i) {
        threadIds[i] = g_switches[i].threadId;
        values[i] = g_switches[i].value;
    }
    return n;
}
