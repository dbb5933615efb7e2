#include "ZYNSysTSD.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <new>

namespace {


std::atomic<std::uint32_t> g_lastKey{0};
std::atomic<long> g_liveMaps{0};
using Cleanup = void (*)(std::uint64_t);

// Key cleanups, for every key that has one. Never destroyed: threads end during exit too.
struct Cleanups {
    SRWLOCK lock = SRWLOCK_INIT;
    std::map<std::uint32_t, Cleanup> byKey;
};

Cleanups& GetCleanups() {
    static Cleanups* cleanups = new Cleanups();
    return *cleanups;
}

class SharedLock {
public:
    explicit SharedLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockShared(&lock_); }
    ~SharedLock() { ::ReleaseSRWLockShared(&lock_); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    SRWLOCK& lock_;
};

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

Cleanup FindCleanup(std::uint32_t key) {
    Cleanups& all = GetCleanups();
    SharedLock lock(all.lock);
    auto found = all.byKey.find(key);
    return found == all.byKey.end() ? nullptr : found->second;
}

INIT_ONCE g_slotOnce = INIT_ONCE_STATIC_INIT;
DWORD g_slot = FLS_OUT_OF_INDEXES;

// Runs on each thread's exit (and never for a thread without a map).
void WINAPI ReleaseThreadMap(void* data) {
    auto* map = static_cast<ZYNSysTSDMap*>(data);
    if (!map) return;
    map->ForEach([](std::uint32_t key, std::uint64_t value) {
        if (value == 0) return;
        if (Cleanup cleanup = FindCleanup(key)) cleanup(value);
    });
    delete map;
    g_liveMaps.fetch_sub(1);
}

BOOL CALLBACK AllocateSlot(INIT_ONCE*, void*, void**) {
    // A fiber-local slot rather than a plain TLS one: only it tells us when a thread ends.
    g_slot = ::FlsAlloc(&ReleaseThreadMap);
    return TRUE;
}

DWORD Slot() {
    ::InitOnceExecuteOnce(&g_slotOnce, &AllocateSlot, nullptr, nullptr);
    return g_slot;
}

}  // namespace

// ---- keys ----------------------------------------------------------------------------

std::uint32_t ZYNSysTSDNewKey() {
    return g_lastKey.fetch_add(1) + 1;
}

std::uint64_t ZYNSysTSDGetValue(std::uint32_t key) {
    DWORD slot = Slot();
    if (slot == FLS_OUT_OF_INDEXES) return 0;
    auto* map = static_cast<ZYNSysTSDMap*>(::FlsGetValue(slot));
    std::uint64_t value = 0;
    if (map && map->Lookup(key, value)) return value;
    return 0;
}

HRESULT ZYNSysTSDSetValue(std::uint32_t key, std::uint64_t value) {
    DWORD slot = Slot();
    if (slot == FLS_OUT_OF_INDEXES) return E_FAIL;
    auto* map = static_cast<ZYNSysTSDMap*>(::FlsGetValue(slot));
    if (!map) {
        map = new (std::nothrow) ZYNSysTSDMap(12, 0.75f);
        if (!map) return E_FAIL;
        if (!map->IsValid() || !::FlsSetValue(slot, map)) {
            delete map;
            return E_FAIL;
        }
        g_liveMaps.fetch_add(1);
    }
    return map->Store(key, value);
}

HRESULT ZYNSysTSDSetCleanup(std::uint32_t key, void (*cleanup)(std::uint64_t)) {
    if (key == 0) return E_FAIL;
    Cleanups& all = GetCleanups();
    try {
        ExclusiveLock lock(all.lock);
        all.byKey[key] = cleanup;
    } catch (const std::bad_alloc&) {
        return E_FAIL;
    }
    return S_OK;
}

long ZYNSysTSDLiveMapCount() {
    return g_liveMaps.load();
}

// ---- the per-thread map --------------------------------------------------------------

ZYNSysTSDMap::ZYNSysTSDMap(std::int32_t expected, float loadFactor) : buckets_(sizeof(Bucket)) {
    if (!(loadFactor >= 0.1f && loadFactor <= 100.0f)) loadFactor = 0.75f;
    if (expected < 1) expected = 12;
    inverseLoad_ = 1.0f / loadFactor;
    MakeBuckets(BucketCountFor(expected, inverseLoad_));
}

ZYNSysTSDMap::~ZYNSysTSDMap() {
    FreeNodes();
}

std::int32_t ZYNSysTSDMap::BucketCountFor(std::int32_t expected, float inverseLoad) {
    // Single precision on purpose: 12 x (1 / 0.75) must give 16 buckets, not 17.
    volatile float product = static_cast<float>(expected) * inverseLoad;
    float buckets = std::ceil(static_cast<float>(product));
    return buckets >= 2147483647.0f ? 2147483647 : static_cast<std::int32_t>(buckets);
}

std::int32_t ZYNSysTSDMap::BucketOf(std::uint32_t key, std::int32_t bucketCount) {
    std::uint32_t h = 0;
    for (int i = 0; i < 4; ++i) {
        auto byte = static_cast<std::int8_t>((key >> (8 * i)) & 0xFF);
        h = h * 131u + static_cast<std::uint32_t>(static_cast<std::int32_t>(byte));
    }
    return static_cast<std::int32_t>((h & 0x7FFFFFFFu) % static_cast<std::uint32_t>(bucketCount));
}

bool ZYNSysTSDMap::MakeBuckets(std::int32_t count) {
    if (count < 1 || FAILED(buckets_.Reset(count))) return false;
    std::memset(buckets_.GetData(), 0, static_cast<std::size_t>(count) * sizeof(Bucket));
    buckets_.SetCount(count);
    return true;
}

void ZYNSysTSDMap::Append(Bucket* bucket, Node* node) {
    node->next = nullptr;
    node->previous = bucket->tail;
    if (bucket->tail) bucket->tail->next = node; else bucket->head = node;
    bucket->tail = node;
    ++bucket->count;
}

void ZYNSysTSDMap::FreeNodes() {
    for (std::int32_t b = 0; b < buckets_.GetCount(); ++b) {
        Node* node = BucketAt(b)->head;
        while (node) {
            Node* next = node->next;
            delete node;
            node = next;
        }
    }
    buckets_.SetCount(0);
}

bool ZYNSysTSDMap::Lookup(std::uint32_t key, std::uint64_t& value) const {
    if (!IsValid()) return false;
    for (const Node* node = BucketAt(BucketOf(key, buckets_.GetCount()))->head; node; node = node->next) {
        if (node->key == key) {
            value = node->value;
            return true;
        }
    }
    return false;
}

bool ZYNSysTSDMap::Rebuild(std::int32_t expected) {
    ZYNSysGrowArray fresh(sizeof(Bucket));
    std::int32_t count = BucketCountFor(expected, inverseLoad_);
    if (count < 1 || FAILED(fresh.Reset(count))) return false;
    std::memset(fresh.GetData(), 0, static_cast<std::size_t>(count) * sizeof(Bucket));
    fresh.SetCount(count);
    for (std::int32_t b = 0; b < buckets_.GetCount(); ++b) {
        Node* node = BucketAt(b)->head;
        while (node) {
            Node* next = node->next;
            Append(static_cast<Bucket*>(fresh.At(BucketOf(node->key, count))), node);
            node = next;
        }
    }
    // The nodes now hang from the new buckets: swap the blocks, the old one goes.
    buckets_.Swap(fresh);
    return true;
}

HRESULT ZYNSysTSDMap::Store(std::uint32_t key, std::uint64_t value) {
    if (!IsValid()) return E_FAIL;
    Bucket* bucket = BucketAt(BucketOf(key, buckets_.GetCount()));
    for (Node* node = bucket->head; node; node = node->next) {
        if (node->key == key) {
            node->value = value;
            return S_OK;
        }
    }
    Node* node = new (std::nothrow) Node{nullptr, nullptr, key, value};
    if (!node) return E_FAIL;
    Append(bucket, node);
    if (BucketCountFor(static_cast<std::int32_t>(entries_ + 1), inverseLoad_) > buckets_.GetCount()) {
        // A failed rebuild keeps the current buckets: the map still works, only longer chains.
        Rebuild(static_cast<std::int32_t>(entries_) * 2);
    }
    ++entries_;
    return S_OK;
}
