#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "ChildProcess.h"
#include "ZYNSysTSD.h"

namespace {

std::atomic<int> g_cleanupCalls{0};
std::atomic<std::uint64_t> g_cleanedValue{0};

void CountCleanup(std::uint64_t value) {
    ++g_cleanupCalls;
    g_cleanedValue = value;
}

}  // namespace

// The key counter is process-wide: only a fresh process shows where it starts.
VAROMET_CHILD_CASE(FirstTwoKeys) {
    std::uint32_t first = ZYNSysTSDNewKey();
    std::uint32_t second = ZYNSysTSDNewKey();
    std::printf("%u %u", first, second);
    return 0;
}

TEST(ZYNSysTSD, FirstTwoKeysOfAFreshProcessAreOneAndTwo) {
    ChildProcess::Result child = ChildProcess::Run("FirstTwoKeys");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_EQ(child.output, "1 2");
}

TEST(ZYNSysTSD, AValueIsSeenOnlyByTheThreadThatSetIt) {
    std::uint32_t key = ZYNSysTSDNewKey();
    ASSERT_EQ(ZYNSysTSDSetValue(key, 11), S_OK);
    ASSERT_EQ(ZYNSysTSDSetValue(key, 12), S_OK);  // the last value wins
    std::uint64_t seenBefore = 99, seenAfter = 0;
    std::thread([&] {
        seenBefore = ZYNSysTSDGetValue(key);
        ZYNSysTSDSetValue(key, 22);
        seenAfter = ZYNSysTSDGetValue(key);
    }).join();
    EXPECT_EQ(seenBefore, 0u);
    EXPECT_EQ(seenAfter, 22u);
    EXPECT_EQ(ZYNSysTSDGetValue(key), 12u);
    EXPECT_EQ(ZYNSysTSDGetValue(ZYNSysTSDNewKey()), 0u);
}

TEST(ZYNSysTSD, AThreadsMapIsReleasedWithCleanupOfItsValuesWhenItEnds) {
    std::uint32_t key = ZYNSysTSDNewKey();
    std::uint32_t zeroKey = ZYNSysTSDNewKey();
    ASSERT_EQ(ZYNSysTSDSetCleanup(key, &CountCleanup), S_OK);
    ASSERT_EQ(ZYNSysTSDSetCleanup(zeroKey, &CountCleanup), S_OK);
    ASSERT_EQ(ZYNSysTSDSetValue(key, 1), S_OK);  // the main thread's map stays
    const long before = ZYNSysTSDLiveMapCount();
    long during = 0;
    std::thread([&] {
        ZYNSysTSDSetValue(key, 0xABCD);
        ZYNSysTSDSetValue(zeroKey, 0);  // a zero value has nothing to clean up
        during = ZYNSysTSDLiveMapCount();
    }).join();
    EXPECT_EQ(during, before + 1);
    EXPECT_EQ(ZYNSysTSDLiveMapCount(), before);
    EXPECT_EQ(g_cleanupCalls, 1);
    EXPECT_EQ(g_cleanedValue, 0xABCDu);
    EXPECT_EQ(ZYNSysTSDGetValue(key), 1u);
}

TEST(ZYNSysTSDMap, BucketCountIsComputedInSinglePrecisionFromSaneSettings) {
    struct Case {
        const char* name;
        std::int32_t expected;
        float loadFactor;
        std::int32_t buckets;
    };
    const Case cases[] = {
        {"defaults give 16, not 17", 12, 0.75f, 16},
        {"24 entries, the rebuild for the 13th key", 24, 0.75f, 32},
        {"load factor 2 rounds up", 5, 2.0f, 3},
        {"no expected entries", 0, 0.75f, 16},
        {"negative expected entries", -5, 0.75f, 16},
        {"load factor below 0.1", 12, 0.05f, 16},
        {"load factor above 100", 12, 101.0f, 16},
        {"load factor NaN", 12, std::nanf(""), 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ZYNSysTSDMap(c.expected, c.loadFactor).GetBucketCount(), c.buckets);
    }
    EXPECT_EQ(ZYNSysTSDMap::BucketCountFor(13, 1.0f / 0.75f), 18);
}

TEST(ZYNSysTSDMap, ThirteenthKeyRebuildsWithThirtyTwoBucketsKeepingEveryValue) {
    ZYNSysTSDMap map(12, 0.75f);
    ASSERT_EQ(map.GetBucketCount(), 16);
    // Keys 16 apart share one of 16 buckets: long chains go through the rebuild.
    auto keyOf = [](std::uint32_t i) { return 1 + 16 * i; };
    for (std::uint32_t i = 0; i < 12; ++i) ASSERT_EQ(map.Store(keyOf(i), 100 + i), S_OK);
    ASSERT_EQ(map.Store(keyOf(0), 100), S_OK);  // a known key adds no entry
    EXPECT_EQ(map.GetBucketCount(), 16);
    EXPECT_EQ(map.GetEntryCount(), 12u);

    ASSERT_EQ(map.Store(keyOf(12), 112), S_OK);
    EXPECT_EQ(map.GetBucketCount(), 32);
    EXPECT_EQ(map.GetEntryCount(), 13u);
    std::uint32_t visited = 0;
    map.ForEach([&](std::uint32_t, std::uint64_t) { ++visited; });
    EXPECT_EQ(visited, 13u);
    for (std::uint32_t i = 0; i <= 12; ++i) {
        std::uint64_t value = 0;
        EXPECT_TRUE(map.Lookup(keyOf(i), value)) << "key " << keyOf(i);
        EXPECT_EQ(value, 100u + i) << "key " << keyOf(i);
    }
    std::uint64_t value = 0;
    EXPECT_FALSE(map.Lookup(2, value));
}
