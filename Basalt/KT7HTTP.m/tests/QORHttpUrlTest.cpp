#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "QORHttpTools.h"

namespace {

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};

// The coded text, or "<error 0x...>".
std::string Code(const char* url, std::uint32_t mode) {
    char* out = nullptr;
    const HRESULT hr = QORSysCodeUrl(url, &out, mode);
    const std::unique_ptr<char, FreeText> owned(out);
    if (hr != 0) {
        char text[32];
        std::snprintf(text, sizeof text, "<error 0x%lx>", static_cast<unsigned long>(hr));
        return text;
    }
    return out != nullptr ? out : "<unset>";
}

TEST(QORSysCodeUrl, EncodesPathQueryAndFragmentByMode) {
    struct Case {
        const char* name;
        const char* url;
        std::uint32_t mode;
        const char* expected;
    };
    const Case cases[] = {
        {"blanks in path and query", "http://h/a b?c d", 0x80000007u, "http://h/a%20b?c%20d"},
    };
    for (const Case& c : cases) EXPECT_EQ(Code(c.url, c.mode), c.expected) << c.name;
}

}  // namespace
