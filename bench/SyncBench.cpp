// Uncontended lock/unlock pairs through the framework's mutexes beside the bare primitives they
// wrap, measured in the same run (goal: each kind within 1.5x of its bare primitive), then read
// pairs of the two reader/writer lock kinds. Each figure is the best of five rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "QORMutex.h"
#include "QORResourceLock.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPairs = 5'000'000;

template <typename Pair>
double NanosecondsPerPair(Pair pair) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kPairs; ++i) pair();
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kPairs);
    }
    return best;
}

void Report(const char* what, double ns, double reference) {
    if (reference > 0) std::printf("%-40s %7.2f ns  (%.2fx)\n", what, ns, ns / reference);
    else std::printf("%-40s %7.2f ns\n", what, ns);
}

}  // namespace

int main() {
    CRITICAL_SECTION section;
    ::InitializeCriticalSection(&section);
    SRWLOCK slim = SRWLOCK_INIT;
    QORMutex recursive(0, 1, 0);
    QORMutex nonRecursive(0, 0, 0);
    QORResourceLock waitingPoint(1);
    QORResourceLock slimLock(0);

    const double bareCS = NanosecondsPerPair([&] {
        ::EnterCriticalSection(&section);
        ::LeaveCriticalSection(&section);
    });
    const double bareSRW = NanosecondsPerPair([&] {
        ::AcquireSRWLockExclusive(&slim);
        ::ReleaseSRWLockExclusive(&slim);
    });
    const double mutexCS = NanosecondsPerPair([&] {
        recursive.Lock();
        recursive.Unlock();
    });
    const double mutexSRW = NanosecondsPerPair([&] {
        nonRecursive.Lock();
        nonRecursive.Unlock();
    });
    const double bareShared = NanosecondsPerPair([&] {
        ::AcquireSRWLockShared(&slim);
        ::ReleaseSRWLockShared(&slim);
    });
    const double readWP = NanosecondsPerPair([&] {
        waitingPoint.ReadLock();
        waitingPoint.ReadUnlock();
    });
    const double readSRW = NanosecondsPerPair([&] {
        slimLock.ReadLock();
        slimLock.ReadUnlock();
    });
    ::DeleteCriticalSection(&section);

    Report("bare CRITICAL_SECTION enter/leave", bareCS, 0);
    Report("QORMutex, critical section, Lock/Unlock", mutexCS, bareCS);
    Report("bare SRWLOCK exclusive", bareSRW, 0);
    Report("QORMutex, SRW, Lock/Unlock", mutexSRW, bareSRW);
    Report("bare SRWLOCK shared", bareShared, 0);
    Report("QORResourceLock SRW, ReadLock/Unlock", readSRW, bareShared);
    Report("QORResourceLock WP, ReadLock/Unlock", readWP, bareShared);
    return 0;
}
