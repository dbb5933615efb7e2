// The table of resolved authentication services: bounded, since its keys are client URLs.

#include <gtest/gtest.h>

#include <string>

#include "ResolutionCache.h"

namespace {

std::string Target(std::size_t n) { return "http://host/ws?n=" + std::to_string(n); }

TEST(ResolutionCache, KeepsTheFirstResolutionsUpToItsBound) {
    ResolutionCache cache;
    for (std::size_t n = 0; n < ResolutionCache::kMaxEntries + 50; ++n) cache.Store(Target(n), "http://auth/");
    EXPECT_EQ(cache.Size(), ResolutionCache::kMaxEntries);
    EXPECT_EQ(cache.Find(Target(0)), "http://auth/");
    EXPECT_EQ(cache.Find(Target(ResolutionCache::kMaxEntries - 1)), "http://auth/");
    EXPECT_EQ(cache.Find(Target(ResolutionCache::kMaxEntries)), "");
    // A full table still keeps a URL's first resolution.
    cache.Store(Target(0), "http://other/");
    EXPECT_EQ(cache.Find(Target(0)), "http://auth/");
}

}  // namespace
