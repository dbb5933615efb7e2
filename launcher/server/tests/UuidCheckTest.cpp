// The Ordana id check: version-4 UUIDs of the RFC 4122 variant and nothing else.

#include <gtest/gtest.h>

#include <string>

#include "Utils.h"

namespace {

TEST(UuidCheck, AcceptsOnlyVersion4UuidsOfTheRfcVariant) {
    struct Case {
        std::string text;
        bool valid;
    } cases[] = {
        {"123e4567-e89b-42d3-8456-426614174000", true},   // variant 8
        {"123e4567-e89b-42d3-9456-426614174000", true},   // variant 9
        {"123e4567-e89b-42d3-a456-426614174000", true},   // variant a
        {"123e4567-e89b-42d3-b456-426614174000", true},   // variant b
        {"123E4567-E89B-42D3-9456-42661417400F", true},   // capitals
        {"123e4567-e89b-42d3-c456-426614174000", false},  // variant c
        {"123e4567-e89b-42d3-7456-426614174000", false},  // variant 7
        {"123e4567-e89b-12d3-a456-426614174000", false},  // version 1
        {"123e4567-e89b-52d3-a456-426614174000", false},  // version 5
        {"123e4567-e89b-42d3-a456426614174000", false},   // 4 groups
        {"123e4567-e89b-42d3-a456-4266-14174000", false}, // 6 groups
        {"123e4567-e89b-42d3-a456-42661417400g", false},  // bad hex at the end
        {"g23e4567-e89b-42d3-a456-426614174000", false},  // bad hex at the start
        {"123e4567-e89b-42d3-a456-42661417400", false},   // short last group
        {"123e456-7e89b-42d3-a456-426614174000", false},  // groups of other lengths
        {"{123e4567-e89b-42d3-a456-426614174000}", false},
        {"urn:uuid:123e4567-e89b-42d3-a456-426614174000", false},
        {"-123e4567-e89b-42d3-a456-426614174000", false},
        {"123e4567-e89b-42d3-a456-426614174000-", false},
        {" 123e4567-e89b-42d3-a456-426614174000", false},
        {"123e4567-e89b-42d3-a456-426614174000 ", false},
        {"123e4567-e89b-42d3-a456-42661417 000", false},
        {"", false},
        {"----", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsValidUuid(c.text), c.valid) << "'" << c.text << "'";
}

}  // namespace
