#include "ZYNSysPtrHashTable.h"

#include <climits>
#include <cstdlib>

namespace {

struct Node {
    void* item;
    Node* next;
};
static_assert(sizeof(Node) == 2 * sizeof(void*), "a pool node takes two of the block's pointers");

constexpr int kPrimes[] = {2, 3, 5, 7, 11, 13, 17, 19};
constexpr int kMinimumSlots = 11;
// Keeps the slot arithmetic, 2 x S and 3 x S pointers, far from overflow.
constexpr long long kMaximumSlots = INT_MAX / 4;

// The first n >= request that no prime of the table smaller than n divides; -1 when too large.
int SlotsFor(long long request) {
    for (long long n = request; n <= kMaximumSlots; ++n) {
        bool divided = false;
        for (int p : kPrimes) {
            if (p < n && n % p == 0) {
                divided = true;
                break;
            }
        }
        if (!divided) return static_cast<int>(n);
    }
    return -1;
}

void** NewBlock(int slots) { return static_cast<void**>(std::calloc(3 * static_cast<std::size_t>(slots), sizeof(void*))); }

Node** Heads(void** block) { return reinterpret_cast<Node**>(block); }
Node* Pool(void** block, int slots) { return reinterpret_cast<Node*>(block + slots); }

}  // namespace

ZYNSysPtrHashTable::~ZYNSysPtrHashTable() { std::free(block_); }

int ZYNSysPtrHashTable::Init(ZYNSysPtrHashTable* table, int requested, HashFunction hash, EqualFunction equal) {
    if (!table) return -1;
    std::free(table->block_);
    table->block_ = nullptr;
    table->slots_ = 0;
    table->count_ = 0;
    table->hash_ = hash;
    table->equal_ = equal;
    if (!hash || !equal) return -1;
    long long request = requested < kMinimumSlots ? kMinimumSlots : requested;
    for (;;) {
        const int slots = SlotsFor(request);
        if (slots > 0) {
            if (void** block = NewBlock(slots)) {
                table->block_ = block;
                table->slots_ = slots;
                return 0;
            }
        }
        if (request <= 20) return -1;
        request = request / 2 < kMinimumSlots ? kMinimumSlots : request / 2;
    }
}

int ZYNSysPtrHashTable::Insert(void* item) {
    const std::int32_t before = count_;
    if (!FindOrInsert(item)) return -1;
    return count_ != before ? 1 : 0;
}

void* ZYNSysPtrHashTable::FindOrInsert(void* item) {
    if (!block_ || !item) return nullptr;
    const std::uint32_t h = hash_(item);
    Node** link = &Heads(block_)[h % static_cast<std::uint32_t>(slots_)];
    for (; *link; link = &(*link)->next) {
        if (equal_((*link)->item, item)) return (*link)->item;
    }
    if (count_ == slots_) {
        if (Rehash(0) != 0) return nullptr;
        link = &Heads(block_)[h % static_cast<std::uint32_t>(slots_)];
        while (*link) link = &(*link)->next;
    }
    Node* node = &Pool(block_, slots_)[count_++];
    *node = {item, nullptr};
    *link = node;
    return item;
}

void* ZYNSysPtrHashTable::Find(const void* item) const {
    if (!block_ || !item) return nullptr;
    for (Node* n = Heads(block_)[hash_(item) % static_cast<std::uint32_t>(slots_)]; n; n = n->next) {
        if (equal_(n->item, item)) return n->item;
    }
    return nullptr;
}

void* ZYNSysPtrHashTable::FindByHash(std::uint32_t hash) const {
    if (!block_) return nullptr;
    for (Node* n = Heads(block_)[hash % static_cast<std::uint32_t>(slots_)]; n; n = n->next) {
        if (hash_(n->item) == hash) return n->item;
    }
    return nullptr;
}

void* ZYNSysPtrHashTable::FindNextSameHash(const void* item) const {
    if (!block_ || !item) return nullptr;
    Node* n = Heads(block_)[hash_(item) % static_cast<std::uint32_t>(slots_)];
    while (n && !equal_(n->item, item)) n = n->next;
    if (!n) return nullptr;
    const std::uint32_t h = hash_(n->item);
    for (n = n->next; n; n = n->next) {
        if (hash_(n->item) == h) return n->item;
    }
    return nullptr;
}

void* ZYNSysPtrHashTable::Remove(const void* item) {
    if (!block_ || !item) return nullptr;
    Node** heads = Heads(block_);
    Node** link = &heads[hash_(item) % static_cast<std::uint32_t>(slots_)];
    while (*link && !equal_((*link)->item, item)) link = &(*link)->next;
    Node* node = *link;
    if (!node) return nullptr;
    *link = node->next;
    void* removed = node->item;
    // The pool stays dense: its last node moves into the freed one.
    Node* last = &Pool(block_, slots_)[count_ - 1];
    if (node != last) {
        Node** toLast = &heads[hash_(last->item) % static_cast<std::uint32_t>(slots_)];
        while (*toLast != last) toLast = &(*toLast)->next;
        *node = *last;
        *toLast = node;
    }
    --count_;
    if (3 * count_ < slots_ && count_ >= 12) Rehash(static_cast<int>(count_ * 1.1));
    return removed;
}

int ZYNSysPtrHashTable::Rehash(int requested) {
    if (!block_) return -1;
    const int slots = SlotsFor(requested < 1 ? 2LL * slots_ : requested);
    // The pool holds S items: fewer slots than items would overrun it.
    if (slots < 1 || slots < count_) return -1;
    void** block = NewBlock(slots);
    if (!block) return -1;
    void** old = block_;
    Node* oldPool = Pool(old, slots_);
    const std::int32_t count = count_;
    block_ = block;
    slots_ = slots;
    count_ = 0;
    Node** heads = Heads(block_);
    Node* pool = Pool(block_, slots_);
    for (std::int32_t k = 0; k < count; ++k) {
        Node** link = &heads[hash_(oldPool[k].item) % static_cast<std::uint32_t>(slots_)];
        while (*link) link = &(*link)->next;
        pool[count_] = {oldPool[k].item, nullptr};
        *link = &pool[count_++];
    }
    std::free(old);
    return 0;
}

std::int32_t ZYNSysPtrHashTableSlotCount(const ZYNSysPtrHashTable& table) { return table.slots_; }
std::int32_t ZYNSysPtrHashTableItemCount(const ZYNSysPtrHashTable& table) { return table.count_; }
