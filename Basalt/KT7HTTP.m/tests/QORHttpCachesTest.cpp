#include <gtest/gtest.h>

#include "QORHttpCaches.h"

namespace {

TEST(QORHttpTextHash, EmptyTextHashesToZero) {
    EXPECT_EQ(QORHttpTextHash(""), 0u);
    EXPECT_EQ(QORHttpTextHash(nullptr), 0u);
}

}  // namespace
