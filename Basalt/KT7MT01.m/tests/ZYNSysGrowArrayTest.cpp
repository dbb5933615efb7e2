#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "ZYNSysGrowArray.h"

namespace {

// Appends the 32-bit values 0, 1, ... count - 1 one at a time, so the capacity doubles.
void Fill(ZYNSysGrowArray& array, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        ASSERT_EQ(array.InsertAt(i, 1), S_OK);
        *static_cast<std::int32_t*>(array.At(i)) = i;
    }
}

std::vector<std::int32_t> Values(const ZYNSysGrowArray& array) {
    std::vector<std::int32_t> values;
    for (std::int32_t i = 0; i < array.GetCount(); ++i) values.push_back(*static_cast<std::int32_t*>(array.At(i)));
    return values;
}

}  // namespace

TEST(ZYNSysGrowArray, CapacityDoublesOrTakesWhatIsNeeded) {
    struct Case {
        const char* name;
        std::int32_t initialCount;  // inserted at once into an empty array
        std::int32_t pos, n;
        std::int32_t capacity;
    };
    const Case cases[] = {
        {"empty, one element: 4", 0, 0, 1, 4},
        {"empty, more than 4 at once", 0, 0, 10, 10},
        {"more than double needed", 4, 2, 20, 24},
        {"nothing into an empty array", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZYNSysGrowArray array(8);
        if (c.initialCount) {
            ASSERT_EQ(array.InsertAt(0, c.initialCount), S_OK);
        }
        ASSERT_EQ(array.InsertAt(c.pos, c.n), S_OK);
        EXPECT_EQ(array.GetCount(), c.initialCount + c.n);
        EXPECT_EQ(array.GetCapacity(), c.capacity);
    }

    ZYNSysGrowArray array(4);
    std::vector<std::int32_t> capacities;
    for (int i = 0; i < 17; ++i) {
        ASSERT_EQ(array.InsertAt(array.GetCount(), 1), S_OK);
        capacities.push_back(array.GetCapacity());
    }
    EXPECT_EQ(capacities, (std::vector<std::int32_t>{4, 4, 4, 4, 8, 8, 8, 8, 16, 16, 16, 16, 16, 16, 16, 16, 32}));
}

TEST(ZYNSysGrowArray, InsertKeepsElementsAcrossGrowthAndMovesLaterOnesUp) {
    ZYNSysGrowArray array(sizeof(std::int32_t));
    Fill(array, 4);  // capacity 4: the next insert moves the block
    ASSERT_EQ(array.InsertAt(1, 2), S_OK);
    *static_cast<std::int32_t*>(array.At(1)) = 10;
    *static_cast<std::int32_t*>(array.At(2)) = 11;
    EXPECT_EQ(Values(array), (std::vector<std::int32_t>{0, 10, 11, 1, 2, 3}));
}

TEST(ZYNSysGrowArray, OverlappingMovesKeepTheMovedValues) {
    struct Case {
        const char* name;
        std::int32_t destination, source, n;
        std::vector<std::int32_t> values;
    };
    const Case cases[] = {
        {"up by one", 1, 0, 4, {0, 0, 1, 2, 3, 5, 6, 7}},
        {"down by one", 0, 1, 4, {1, 2, 3, 4, 4, 5, 6, 7}},
        {"to the last slot", 7, 0, 1, {0, 1, 2, 3, 4, 5, 6, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZYNSysGrowArray array(sizeof(std::int32_t));
        Fill(array, 8);
        ASSERT_EQ(array.MoveElements(c.destination, c.source, c.n), S_OK);
        EXPECT_EQ(Values(array), c.values);
    }
}

TEST(ZYNSysGrowArray, BadRangesFailAndLeaveTheArrayAlone) {
    struct Case {
        const char* name;
        HRESULT (*call)(ZYNSysGrowArray&);
    };
    // Each array holds 0..4 with capacity 8.
    const Case cases[] = {
        {"insert at count + 1", [](ZYNSysGrowArray& a) { return a.InsertAt(6, 1); }},
        {"insert at -1", [](ZYNSysGrowArray& a) { return a.InsertAt(-1, 1); }},
        {"insert of -1 elements", [](ZYNSysGrowArray& a) { return a.InsertAt(0, -1); }},
        {"insert at the end past INT32_MAX", [](ZYNSysGrowArray& a) { return a.InsertAt(5, INT32_MAX - 4); }},
        {"reserve count - 1", [](ZYNSysGrowArray& a) { return a.Reserve(4); }},
        {"move from -1", [](ZYNSysGrowArray& a) { return a.MoveElements(0, -1, 1); }},
        {"move to -1", [](ZYNSysGrowArray& a) { return a.MoveElements(-1, 0, 1); }},
        {"move past the capacity", [](ZYNSysGrowArray& a) { return a.MoveElements(7, 0, 2); }},
        {"move from past the capacity", [](ZYNSysGrowArray& a) { return a.MoveElements(0, 7, 2); }},
        {"move with overflowing end", [](ZYNSysGrowArray& a) { return a.MoveElements(INT32_MAX, 0, 2); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZYNSysGrowArray array(sizeof(std::int32_t));
        Fill(array, 5);
        ASSERT_EQ(array.GetCapacity(), 8);
        EXPECT_EQ(c.call(array), E_FAIL);
        EXPECT_EQ(array.GetCount(), 5);
        EXPECT_EQ(array.GetCapacity(), 8);
        EXPECT_EQ(Values(array), (std::vector<std::int32_t>{0, 1, 2, 3, 4}));
    }

    ZYNSysGrowArray unallocated(4);
    EXPECT_EQ(unallocated.MoveElements(0, 0, 0), E_FAIL);
}
