// ZYNSysPtrHashTable churn at about 10,000 items, as the cookie store and the caches use it:
// each step inserts a new item, finds a present one and removes the oldest. Beside it
// std::unordered_set with the same hash and equality, measured in the same run (goal: the
// reference takes at least as long, ratio 1.0 or more). Each figure is the best of five rounds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <unordered_set>
#include <vector>

#include "ZYNSysPtrHashTable.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t kLive = 10'000;
constexpr std::uint64_t kSteps = 1'000'000;

// Synthetic addresses, 16 bytes apart like heap blocks; never dereferenced.
void* Item(std::uint64_t k) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x10000000ull + k * 16)); }

std::uint32_t Hash(const void* p) {
    return static_cast<std::uint32_t>((reinterpret_cast<std::uintptr_t>(p) >> 4) * 2654435761u);
}
int Equal(const void* a, const void* b) { return a == b; }

struct StdHash {
    std::size_t operator()(const void* p) const { return Hash(p); }
};
struct StdEqual {
    bool operator()(const void* a, const void* b) const { return Equal(a, b) != 0; }
};

// A cheap deterministic choice of a live item to find.
std::uint64_t Pick(std::uint64_t step) { return step + 1 + (step * 7919) % (kLive - 1); }

template <typename Table>
double NanosecondsPerStep(Table& table, std::uint64_t& sink) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        table.Clear();
        for (std::uint64_t k = 0; k < kLive; ++k) table.Insert(Item(k));
        const auto t0 = Clock::now();
        for (std::uint64_t step = 0; step < kSteps; ++step) {
            table.Insert(Item(step + kLive));
            sink += table.Find(Item(Pick(step))) != nullptr;
            table.Remove(Item(step));
        }
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kSteps);
    }
    return best;
}

struct Framework {
    ZYNSysPtrHashTable table;
    void Clear() { ZYNSysPtrHashTable::Init(&table, 4, Hash, Equal); }
    void Insert(void* p) { table.Insert(p); }
    void* Find(void* p) { return table.Find(p); }
    void Remove(void* p) { table.Remove(p); }
};

struct Reference {
    std::unordered_set<void*, StdHash, StdEqual> set;
    void Clear() { set = {}; }
    void Insert(void* p) { set.insert(p); }
    void* Find(void* p) {
        auto it = set.find(p);
        return it == set.end() ? nullptr : *it;
    }
    void Remove(void* p) { set.erase(p); }
};

}  // namespace

int main() {
    std::uint64_t sink = 0;
    Framework framework;
    Reference reference;
    const double mine = NanosecondsPerStep(framework, sink);
    const double theirs = NanosecondsPerStep(reference, sink);
    std::printf("%-52s %7.2f ns\n", "std::unordered_set insert+find+remove", theirs);
    std::printf("%-52s %7.2f ns  (ratio %.2f)\n", "ZYNSysPtrHashTable insert+find+remove", mine, theirs / mine);
    std::printf("(%llu finds hit, %d slots)\n", static_cast<unsigned long long>(sink),
                ZYNSysPtrHashTableSlotCount(framework.table));
    return 0;
}
