// Start and join of a thread whose function returns at once: QORThreads Run/Join beside a bare
// CreateThread, WaitForSingleObject and CloseHandle, measured in the same run and interleaved
// (goal: within 1.25x). Each figure is the median of the runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "QORThreads.h"
#include "ZYNSysWin.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 400;

int ReturnAtOnce(void*) { return 0; }
DWORD WINAPI BareReturnAtOnce(void*) { return 0; }

double Median(std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    QORThreads thread("bench");
    thread.SetFunction(&ReturnAtOnce);
    // The first start makes the once-only look-ups; it is not measured.
    thread.Run();
    thread.Join();

    std::vector<double> framework, bare;
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = Clock::now();
        HANDLE h = ::CreateThread(nullptr, 0, &BareReturnAtOnce, nullptr, 0, nullptr);
        ::WaitForSingleObject(h, INFINITE);
        ::CloseHandle(h);
        bare.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());

        t0 = Clock::now();
        if (thread.Run() != 0) return 1;
        thread.Join();
        framework.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double b = Median(bare), f = Median(framework);
    std::printf("%-52s %9.1f us\n", "bare CreateThread + WaitForSingleObject + CloseHandle", b);
    std::printf("%-52s %9.1f us  (%.2fx)\n", "QORThreads Run + Join", f, f / b);
    return 0;
}
