#include <gtest/gtest.h>

#include <string>

#include "ZYNSysMaskSecret.h"

namespace {

TEST(ZYNSysMaskSecret, ShowsAPrefixOnlyOfSecretsOfEightCharactersOrMore) {
    struct Case {
        const char* name;
        std::string secret;
        const char* masked;
    };
    const Case cases[] = {
        {"empty", "", ""},
        {"one character", "x", "***(1)"},
        {"seven characters", "1234567", "***(7)"},
        {"eight characters", "12345678", "1234***(8)"},
        {"a ticket", "TGT-123-abcdefghijklmnopqrstuvwxyz", "TGT-***(34)"},
        {"a megabyte", std::string(1048576, 'v'), "vvvv***(1048576)"},
        {"a line break in the prefix", "TG\nT-123-abc", "***(12)"},
        {"a control character last in the prefix", "TGT\x01-123-abc", "***(12)"},
        {"a character past ASCII in the prefix", "T\xC3\xA9T-123-abc", "***(12)"},
        {"a line break past the prefix", "TGT-\r\n123", "TGT-***(9)"},
        {"ESC in the prefix", "\x1B[2J-123-abc", "***(12)"},
        {"DEL in the prefix", "TGT\x7F-123-abc", "***(12)"},
        {"a tab in the prefix", "TG\tT-123-abc", "***(12)"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(ZYNSysMaskSecret(c.secret).text, c.masked) << c.name;
    }
    EXPECT_STREQ(ZYNSysMaskSecret(nullptr, 12).text, "") << "null";
}

}  // namespace
