#include <gtest/gtest.h>

#include "Json.h"

TEST(JsonWrite, Smoke) {
    JSON::Builder b;
    ASSERT_EQ(b.ParseString(R"({"a": 1, "b": [2, "x"]})"), 0);
    EXPECT_EQ(b.Dump(), R"({"a": 1, "b": [2, "x"]})");
}
