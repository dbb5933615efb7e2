#pragma once
// Thread-specific data: process-wide keys under which each thread keeps its own 64-bit
// value, in a per-thread hash map reached through one fiber-local slot.

#include <cstdint>

#include "ZYNSysGrowArray.h"
#include "ZYNSysWin.h"

// The next key: 1, 2, 3 ... Keys are never reused.
std::uint32_t ZYNSysTSDNewKey();
// The calling thread's value for the key; 0 when it has none.
std::uint64_t ZYNSysTSDGetValue(std::uint32_t key);
// Stores the calling thread's value; 0, or E_FAIL when no slot or map can be had.
HRESULT ZYNSysTSDSetValue(std::uint32_t key, std::uint64_t value);
// A thread's map is released when the thread ends; a key's cleanup is then called with
// that thread's value when it is not 0 (the map itself never owns what values point to).
HRESULT ZYNSysTSDSetCleanup(std::uint32_t key, void (*cleanup)(std::uint64_t value));
// Maps alive in the process: lets tests see that ended threads released theirs.
long ZYNSysTSDLiveMapCount();

class ZYNSysTSDMap {
public:
    // expected below 1 becomes 12; a load factor outside 0.1 to 100 becomes 0.75.
    ZYNSysTSDMap(std::int32_t expected, float loadFactor);
    ~ZYNSysTSDMap();
    ZYNSysTSDMap(const ZYNSysTSDMap&) = delete;
    ZYNSysTSDMap& operator=(const ZYNSysTSDMap&) = delete;

    bool IsValid() const { return buckets_.GetCount() > 0; }
    bool Lookup(std::uint32_t key, std::uint64_t& value) const;
    HRESULT Store(std::uint32_t key, std::uint64_t value);
    std::int32_t GetBucketCount() const { return buckets_.GetCount(); }
    std::uint32_t GetEntryCount() const { return entries_; }

    template <typename Fn>
    void ForEach(Fn&& fn) const {
        for (std::int32_t b = 0; b < buckets_.GetCount(); ++b) {
            for (const Node* node = BucketAt(b)->head; node; node = node->next) fn(node->key, node->value);
        }
    }

    // ceil(expected x (1 / loadFactor)) in single precision, as the map sizes itself.
    static std::int32_t BucketCountFor(std::int32_t expected, float inverseLoad);
    static std::int32_t BucketOf(std::uint32_t key, std::int32_t bucketCount);

private:
    struct Node {
        Node* next;
        Node* previous;
        std::uint32_t key;
        std::uint64_t value;
    };
    struct Bucket {
        std::uint32_t count;
        Node* head;
        Node* tail;
    };

    bool MakeBuckets(std::int32_t count);
    Bucket* BucketAt(std::int32_t index) const { return static_cast<Bucket*>(buckets_.At(index)); }
    static void Append(Bucket* bucket, Node* node);
    void FreeNodes();
    bool Rebuild(std::int32_t expected);

    ZYNSysGrowArray buckets_;
    std::uint32_t entries_ = 0;
    float inverseLoad_ = 0;
};
