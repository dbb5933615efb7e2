#pragma once
// A compact hash set of caller pointers, with caller-supplied hash and equality callbacks. One
// block of 3 x S pointers holds the S slot heads and a pool of S nodes, so nothing is allocated
// per item: the table doubles when the pool is full and shrinks when it is mostly empty. It never
// owns its items (Remove hands them back) and never locks: the owner serialises use.

#include <cstdint>

#include "QORSysExport.h"

class QOR_SYS_API ZYNSysPtrHashTable {
public:
    // Non-zero when the stored item and the given one are equal.
    using EqualFunction = int (*)(const void* stored, const void* given);
    using HashFunction = std::uint32_t (*)(const void* item);

    constexpr ZYNSysPtrHashTable() noexcept = default;
    ~ZYNSysPtrHashTable();
    ZYNSysPtrHashTable(const ZYNSysPtrHashTable&) = delete;
    ZYNSysPtrHashTable& operator=(const ZYNSysPtrHashTable&) = delete;

    // Sizes and allocates the table for about `requested` items (at least 11 slots), halving the
    // request while a larger block cannot be had. 0, or -1 with no block: every operation then
    // answers NULL, 0 or -1.
    static int Init(ZYNSysPtrHashTable* table, int requested, HashFunction hash, EqualFunction equal);

    // 1 when added, 0 when an equal item was already there, -1 when it could not be stored.
    int Insert(void* item);
    // The equal stored item, else the item once stored; NULL when it could not be stored.
    void* FindOrInsert(void* item);
    void* Find(const void* item) const;
    // The first item in slot hash mod S whose own hash is `hash`.
    void* FindByHash(std::uint32_t hash) const;
    // The next item with the same hash in the chain of the stored item equal to this one.
    void* FindNextSameHash(const void* item) const;
    // The stored item equal to the given one, now removed; NULL when absent.
    void* Remove(const void* item);
    // Rebuilds with a new slot count (twice the current one for a request below 1). -1 keeps
    // the table as it is: no block, no memory, or fewer slots than items.
    int Rehash(int requested);

private:
    friend std::int32_t ZYNSysPtrHashTableSlotCount(const ZYNSysPtrHashTable& table);
    friend std::int32_t ZYNSysPtrHashTableItemCount(const ZYNSysPtrHashTable& table);

    EqualFunction equal_ = nullptr;
    HashFunction hash_ = nullptr;
    void** block_ = nullptr;
    std::int32_t slots_ = 0;
    std::int32_t count_ = 0;
};

// The table's slot count S and item count N, for tests and benchmarks.
std::int32_t ZYNSysPtrHashTableSlotCount(const ZYNSysPtrHashTable& table);
std::int32_t ZYNSysPtrHashTableItemCount(const ZYNSysPtrHashTable& table);
