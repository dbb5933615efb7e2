#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "ZYNSysPtrHashTable.h"

namespace {

// Items are synthetic addresses, never dereferenced.
void* Item(std::uint64_t k) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(k * 16 + 0x100000000ull)); }
std::uintptr_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uint32_t AddressHash(const void* p) { return static_cast<std::uint32_t>(Address(p) >> 4); }
// Three hash values only: chains stay long whatever the slot count.
std::uint32_t ThreeHashes(const void* p) { return static_cast<std::uint32_t>(Address(p) % 3); }
// Three hash values that share slot 0 whenever the slot count is 23.
std::uint32_t ThreeHashesTimes23(const void* p) { return static_cast<std::uint32_t>(Address(p) % 3 * 23); }
int SameAddress(const void* a, const void* b) { return a == b; }

std::int32_t Slots(const ZYNSysPtrHashTable& t) { return ZYNSysPtrHashTableSlotCount(t); }
std::int32_t Items(const ZYNSysPtrHashTable& t) { return ZYNSysPtrHashTableItemCount(t); }

}  // namespace

TEST(ZYNSysPtrHashTable, SlotCountsFollowThePrimeRule) {
    struct Case {
        int requested;
        std::int32_t slots;
    };
    const Case cases[] = {{4, 11}, {0, 11}, {-5, 11}, {40, 41}, {53, 53}, {22, 23}, {121, 127}, {529, 529}};
    for (const Case& c : cases) {
        ZYNSysPtrHashTable table;
        ASSERT_EQ(ZYNSysPtrHashTable::Init(&table, c.requested, AddressHash, SameAddress), 0) << c.requested;
        EXPECT_EQ(Slots(table), c.slots) << "request " << c.requested;
    }
}

TEST(ZYNSysPtrHashTable, GrowsWhenFullShrinksWhenMostlyEmptyAndKeepsEveryItem) {
    ZYNSysPtrHashTable table;
    ASSERT_EQ(ZYNSysPtrHashTable::Init(&table, 4, AddressHash, SameAddress), 0);
    std::vector<std::int32_t> slots;
    for (std::uint64_t k = 0; k < 40; ++k) {
        ASSERT_EQ(table.Insert(Item(k)), 1);
        slots.push_back(Slots(table));
    }
    EXPECT_EQ(slots[10], 11);  // 11 items fit
    EXPECT_EQ(slots[11], 23);
    EXPECT_EQ(slots[23], 47);
    EXPECT_EQ(table.Insert(Item(7)), 0);
    EXPECT_EQ(table.FindOrInsert(Item(7)), Item(7));
    for (std::uint64_t k = 0; k < 40; ++k) EXPECT_EQ(table.Find(Item(k)), Item(k)) << k;

    // Down to 15 items, 3 x 15 < 47: rebuilt for 16 (17 slots); below 12 items it stays.
    for (std::uint64_t k = 39; k >= 15; --k) ASSERT_EQ(table.Remove(Item(k)), Item(k));
    EXPECT_EQ(Slots(table), 17);
    for (std::uint64_t k = 14; k >= 1; --k) ASSERT_EQ(table.Remove(Item(k)), Item(k));
    EXPECT_EQ(Slots(table), 17);
    EXPECT_EQ(table.Remove(Item(3)), nullptr);
    EXPECT_EQ(table.Find(Item(0)), Item(0));
    EXPECT_EQ(table.Remove(Item(0)), Item(0));
    EXPECT_EQ(Items(table), 0);
}

TEST(ZYNSysPtrHashTable, RehashBelowTheItemCountKeepsTheTable) {
    ZYNSysPtrHashTable table;
    ASSERT_EQ(ZYNSysPtrHashTable::Init(&table, 23, AddressHash, SameAddress), 0);
    for (std::uint64_t k = 0; k < 20; ++k) ASSERT_EQ(table.Insert(Item(k)), 1);
    struct Case {
        int requested;
        int answer;
        std::int32_t slots;
    };
    const Case cases[] = {{5, -1, 23}, {19, -1, 23}, {20, 0, 23}, {1, -1, 23}, {0, 0, 47}, {29, 0, 29}};
    for (const Case& c : cases) {
        EXPECT_EQ(table.Rehash(c.requested), c.answer) << "request " << c.requested;
        EXPECT_EQ(Slots(table), c.slots) << "request " << c.requested;
        for (std::uint64_t k = 0; k < 20; ++k) ASSERT_EQ(table.Find(Item(k)), Item(k)) << "request " << c.requested;
    }
}

TEST(ZYNSysPtrHashTable, ATableWithoutBlockAnswersNothing) {
    struct Case {
        const char* name;
        ZYNSysPtrHashTable::HashFunction hash;
        ZYNSysPtrHashTable::EqualFunction equal;
        bool init;
    };
    const Case cases[] = {
        {"never initialised", AddressHash, SameAddress, false},
        {"no hash callback", nullptr, SameAddress, true},
        {"no equality callback", AddressHash, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZYNSysPtrHashTable table;
        if (c.init) {
            EXPECT_EQ(ZYNSysPtrHashTable::Init(&table, 4, c.hash, c.equal), -1);
        }
        EXPECT_EQ(table.Insert(Item(1)), -1);
        EXPECT_EQ(table.FindOrInsert(Item(1)), nullptr);
        EXPECT_EQ(table.Find(Item(1)), nullptr);
        EXPECT_EQ(table.FindByHash(1), nullptr);
        EXPECT_EQ(table.FindNextSameHash(Item(1)), nullptr);
        EXPECT_EQ(table.Remove(Item(1)), nullptr);
        EXPECT_EQ(table.Rehash(0), -1);
        EXPECT_EQ(Slots(table), 0);
    }
    EXPECT_EQ(ZYNSysPtrHashTable::Init(nullptr, 4, AddressHash, SameAddress), -1);
}

// Thousands of random operations against std::unordered_set, with hashes that collide, through
// growth, shrinking and rehashes of every size, smaller than the item count too.
TEST(ZYNSysPtrHashTable, BehavesLikeASetUnderRandomChurn) {
    struct Case {
        const char* name;
        ZYNSysPtrHashTable::HashFunction hash;
        std::uint64_t keys;  // items are drawn from this many
    };
    const Case cases[] = {
        {"p % 3", ThreeHashes, 3000},
        {"p % 3 x 23", ThreeHashesTimes23, 3000},
        {"spread", AddressHash, 20000},
        {"spread, few keys", AddressHash, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937_64 random(20261209);
        ZYNSysPtrHashTable table;
        ASSERT_EQ(ZYNSysPtrHashTable::Init(&table, 4, c.hash, SameAddress), 0);
        std::unordered_set<void*> model;
        std::set<std::int32_t> slotCounts;
        for (int step = 0; step < 20000; ++step) {
            void* item = Item(random() % c.keys);
            const bool present = model.count(item) != 0;
            const std::string where = "step " + std::to_string(step);
            // Phases of growth and of shrinking: 5 inserts to 2 removals out of 10, then 2 to 5.
            const bool growing = step / 2500 % 2 == 0;
            int kind = static_cast<int>(random() % 10);
            if (kind < 7) kind = kind < (growing ? 4 : 1) ? 0 : (kind < (growing ? 5 : 2) ? 3 : 4);
            switch (kind) {
                case 0:
                    ASSERT_EQ(table.Insert(item), present ? 0 : 1) << where;
                    model.insert(item);
                    break;
                case 3:
                    ASSERT_EQ(table.FindOrInsert(item), item) << where;
                    model.insert(item);
                    break;
                case 4:
                    ASSERT_EQ(table.Remove(item), present ? item : nullptr) << where;
                    model.erase(item);
                    break;
                case 7: {
                    const int requested = static_cast<int>(random() % (2 * model.size() + 3));
                    const std::int32_t before = Slots(table);
                    const int answer = table.Rehash(requested);
                    if (answer != 0) {
                        ASSERT_EQ(Slots(table), before) << where;
                        ASSERT_LT(requested > 0 ? requested : 2 * before, static_cast<int>(model.size()) + 1) << where;
                    }
                    break;
                }
                default:
                    ASSERT_EQ(table.Find(item), present ? item : nullptr) << where;
            }
            ASSERT_EQ(Items(table), static_cast<std::int32_t>(model.size())) << where;
            ASSERT_GE(Slots(table), Items(table)) << where;
            slotCounts.insert(Slots(table));
            if (step % 1000 == 0 || model.size() < 30) {
                for (std::uint32_t h : {0u, 1u, 2u, 23u, 46u}) {
                    std::set<void*> found;
                    for (void* p = table.FindByHash(h); p; p = table.FindNextSameHash(p)) {
                        ASSERT_TRUE(found.insert(p).second) << where;
                        ASSERT_EQ(c.hash(p), h) << where;
                    }
                    std::set<void*> expected;
                    for (void* p : model) {
                        if (c.hash(p) == h) expected.insert(p);
                    }
                    ASSERT_EQ(found, expected) << where << " hash " << h;
                }
            }
        }
        for (void* p : model) ASSERT_EQ(table.Find(p), p);
        EXPECT_GT(slotCounts.size(), 5u);
    }
}
