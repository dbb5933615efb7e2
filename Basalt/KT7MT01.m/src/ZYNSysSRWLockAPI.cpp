#include "ZYNSysSRWLockAPI.h"

#include <atomic>

#include "QORMutex.h"

namespace {

class Kernel32Lookup final : public ZYNSysSRWLockLookup {
public:
    FARPROC Find(const char* name) override {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        return kernel32 ? ::GetProcAddress(kernel32, name) : nullptr;
    }
};

Kernel32Lookup g_kernel32;
std::atomic<ZYNSysSRWLockLookup*> g_lookup{nullptr};

constexpr const char* kNames[] = {
    "InitializeSRWLock",    "AcquireSRWLockExclusive", "ReleaseSRWLockExclusive", "TryAcquireSRWLockExclusive",
    "AcquireSRWLockShared", "ReleaseSRWLockShared",    "TryAcquireSRWLockShared", "SleepConditionVariableSRW"};

ZYNSysSRWLockTable g_master{};
HRESULT g_status = E_FAIL;
// Set only once the master table and the status are complete: no thread reads either before.
std::atomic<bool> g_loaded{false};

template <typename Entry>
bool Fill(Entry& entry, ZYNSysSRWLockLookup& lookup, const char* name) {
    entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(lookup.Find(name)));
    return entry != nullptr;
}

HRESULT Load() {
    ZYNSysSRWLockLookup* lookup = g_lookup.load();
    if (!lookup) lookup = &g_kernel32;
    ZYNSysSRWLockTable table{};
    // Table order; the first missing name ends the lookup.
    const bool found = Fill(table.initialize, *lookup, kNames[0]) && Fill(table.acquireExclusive, *lookup, kNames[1]) &&
                       Fill(table.releaseExclusive, *lookup, kNames[2]) &&
                       Fill(table.tryAcquireExclusive, *lookup, kNames[3]) &&
                       Fill(table.acquireShared, *lookup, kNames[4]) && Fill(table.releaseShared, *lookup, kNames[5]) &&
                       Fill(table.tryAcquireShared, *lookup, kNames[6]) &&
                       Fill(table.sleepConditionVariable, *lookup, kNames[7]);
    g_master = table;
    return found ? S_OK : E_FAIL;
}

}  // namespace

void ZYNSysSetSRWLockLookup(ZYNSysSRWLockLookup* lookup) { g_lookup.store(lookup); }

HRESULT ZYNSysLoadSRWLockAPI(ZYNSysSRWLockTable* table) {
    if (!g_loaded.load(std::memory_order_acquire)) {
        QORSysMTGlobalMutex(1, nullptr, 0);
        if (!g_loaded.load(std::memory_order_relaxed)) {
            g_status = Load();
            g_loaded.store(true, std::memory_order_release);
        }
        QORSysMTGlobalMutex(2, nullptr, 0);
    }
    if (g_status >= 0 && table) *table = g_master;
    return g_status;
}

HRESULT ZYNSysSRWLockCopy::Load() {
    if (!loaded.load(std::memory_order_acquire)) {
        QORSysMTGlobalMutex(1, nullptr, 0);
        if (!loaded.load(std::memory_order_relaxed)) {
            table = {};
            status = ZYNSysLoadSRWLockAPI(&table);
            loaded.store(true, std::memory_order_release);
        }
        QORSysMTGlobalMutex(2, nullptr, 0);
    }
    return status;
}
