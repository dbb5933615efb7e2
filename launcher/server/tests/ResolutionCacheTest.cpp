// The table of resolved authentication services: bounded by entries and by bytes, since its keys
// are client URLs, and keeping the ones used last.

#include <gtest/gtest.h>

#include <string>

#include "ResolutionCache.h"

namespace {

std::string Target(std::size_t n) { return "http://host/ws?n=" + std::to_string(n); }

TEST(ResolutionCache, KeepsTheTargetsUsedLastUpToItsBound) {
    ResolutionCache cache;
    constexpr std::size_t kMax = ResolutionCache::kMaxEntries;
    for (std::size_t n = 0; n < kMax; ++n) cache.Store(Target(n), "http://auth/");
    // In use: found again, it outlives the ones stored after it.
    EXPECT_EQ(cache.Find(Target(0)), "http://auth/");
    for (std::size_t n = kMax; n < kMax + 50; ++n) cache.Store(Target(n), "http://auth/");
    EXPECT_EQ(cache.Size(), kMax);
    EXPECT_EQ(cache.Find(Target(0)), "http://auth/");
    EXPECT_EQ(cache.Find(Target(1)), "");
    EXPECT_EQ(cache.Find(Target(50)), "");
    EXPECT_EQ(cache.Find(Target(51)), "http://auth/");
    // A new target past the bound is kept like the first ones were.
    cache.Store(Target(kMax + 50), "http://auth/");
    EXPECT_EQ(cache.Find(Target(kMax + 50)), "http://auth/");
    // A resolution kept stays.
    cache.Store(Target(0), "http://other/");
    EXPECT_EQ(cache.Find(Target(0)), "http://auth/");
}

TEST(ResolutionCache, LongTargetsAreBoundedByTheirBytes) {
    ResolutionCache cache;
    const std::string pad(100 * 1024, 'p');
    for (std::size_t n = 0; n < 20; ++n) cache.Store(Target(n) + pad, "http://auth/");
    EXPECT_LE(cache.Bytes(), ResolutionCache::kMaxBytes);
    EXPECT_EQ(cache.Size(), ResolutionCache::kMaxBytes / (pad.size() + 32));
    EXPECT_EQ(cache.Find(Target(19) + pad), "http://auth/");
    EXPECT_EQ(cache.Find(Target(0) + pad), "");
    // One that alone outgrows the table is not kept, and leaves the others be.
    const std::size_t kept = cache.Size();
    cache.Store(std::string(ResolutionCache::kMaxBytes, 'u'), "http://auth/");
    EXPECT_EQ(cache.Find(std::string(ResolutionCache::kMaxBytes, 'u')), "");
    EXPECT_EQ(cache.Size(), kept);
}

}  // namespace
