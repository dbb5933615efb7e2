#include "ZYNSysStringPool.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "ZYNSysWin.h"

// The pool lives in this executable, which stays loaded for the whole process: no module has to
// be pinned for it.

namespace ZYNSysStringPool {
namespace {

struct FreeBlock {
    FreeBlock* next;
};

struct Pool {
    FreeBlock* heads[kClasses] = {};
    int counts[kClasses] = {};
    int limit = kLimit;
    int state = 1;  // 1 enabled, -1 disabled
    bool initialised = false;
};

std::atomic<std::uint64_t> g_heapBlocks{0};
std::atomic<long> g_livePools{0};

bool ReadSwitch() {
    char value[32];
    const DWORD forced = ::GetEnvironmentVariableA("ZYNStringRecyclePoolForceEnable", value, sizeof value);
    if (forced > 0 && forced < sizeof value) return std::strtol(value, nullptr, 10) != 0;
    if (forced == 0 && ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) return false;
    return ::GetEnvironmentVariableA("ReplayPurify", nullptr, 0) == 0;
}

// Marks a thread whose pool has gone. Unlike the pool's own slot it keeps its value until the
// thread is gone, so a string released later in the thread's end goes to the heap.
DWORD EndedSlot() {
    static const DWORD slot = ::TlsAlloc();
    return slot;
}

// Runs when a thread (or fiber) ends: the thread's blocks go back to the heap.
void WINAPI ReleasePool(void* data) {
    auto* pool = static_cast<Pool*>(data);
    if (!pool) return;
    if (EndedSlot() != TLS_OUT_OF_INDEXES) ::TlsSetValue(EndedSlot(), reinterpret_cast<void*>(1));
    pool->state = -1;
    for (int k = 0; k < kClasses; ++k) {
        while (FreeBlock* block = pool->heads[k]) {
            pool->heads[k] = block->next;
            std::free(block);
        }
        pool->counts[k] = 0;
    }
    delete pool;
    g_livePools.fetch_sub(1, std::memory_order_relaxed);
}

DWORD Slot() {
    static const DWORD slot = ::FlsAlloc(&ReleasePool);
    return slot;
}

// The calling thread's pool, built on first use; null when none can be had.
Pool* ThreadPool(bool build) {
    const DWORD slot = Slot();
    if (slot == FLS_OUT_OF_INDEXES) return nullptr;
    auto* pool = static_cast<Pool*>(::FlsGetValue(slot));
    if (pool || !build) return pool;
    if (EndedSlot() != TLS_OUT_OF_INDEXES && ::TlsGetValue(EndedSlot())) return nullptr;
    pool = new (std::nothrow) Pool;
    if (!pool) return nullptr;
    pool->state = IsEnabledForProcess() ? 1 : -1;
    pool->initialised = true;
    if (!::FlsSetValue(slot, pool)) {
        delete pool;
        return nullptr;
    }
    g_livePools.fetch_add(1, std::memory_order_relaxed);
    return pool;
}

int ClassOf(std::size_t size) { return static_cast<int>(size / 8) - 1; }

}  // namespace

bool IsEnabledForProcess() {
    static const bool enabled = ReadSwitch();
    return enabled;
}

void* Allocate(std::size_t size) {
    if (size <= kLargestBlock) {
        Pool* pool = ThreadPool(true);
        const int k = ClassOf(size);
        if (pool && pool->state == 1 && k >= 0 && pool->heads[k]) {
            FreeBlock* block = pool->heads[k];
            pool->heads[k] = block->next;
            --pool->counts[k];
            return block;
        }
    }
    g_heapBlocks.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size);
}

void Free(void* block, std::size_t size) {
    if (!block) return;
    if (size <= kLargestBlock) {
        Pool* pool = ThreadPool(true);
        const int k = ClassOf(size);
        if (pool && pool->state == 1 && k >= 0 && pool->counts[k] < pool->limit) {
            auto* free = static_cast<FreeBlock*>(block);
            free->next = pool->heads[k];
            pool->heads[k] = free;
            ++pool->counts[k];
            return;
        }
    }
    std::free(block);
}

int HeldInClass(int index) {
    Pool* pool = ThreadPool(false);
    if (!pool || index < 0 || index >= kClasses) return -1;
    return pool->counts[index];
}

long LivePoolCount() { return g_livePools.load(std::memory_order_relaxed); }

std::uint64_t HeapBlockCount() { return g_heapBlocks.load(std::memory_order_relaxed); }

}  // namespace ZYNSysStringPool
