#include <gtest/gtest.h>

#include <string>

#include "JsonWide.h"

TEST(JsonWide, MakeStringWHoldsTheUtf8FormOrNothingWhenItDoesNotConvert) {
    struct Case {
        const char* name;
        const wchar_t* text;
        bool emptyIsNull;
        JSON::ValueKind kind;
        std::string bytes;
    };
    using K = JSON::ValueKind;
    const Case cases[] = {
        {"ascii", L"abc", false, K::String, "abc"},
        {"ascii, empty is null", L"abc", true, K::String, "abc"},
        {"non-ASCII", L"J\u00F6rg \u20AC", false, K::String, "J\xC3\xB6rg \xE2\x82\xAC"},
        {"one 3-byte unit fills its 4 bytes", L"\uFFFF", false, K::String, "\xEF\xBF\xBF"},
        {"surrogate pair", L"\xD83D\xDE00", false, K::String, "\xF0\x9F\x98\x80"},
        {"unpaired high surrogate", L"a\xD800", false, K::String, ""},
        {"unpaired high surrogate, empty is null", L"a\xD800", true, K::Null, ""},
        {"empty", L"", false, K::String, ""},
        {"empty, empty is null", L"", true, K::Null, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JSON::ValuePtr value = JSON::MakeStringW(c.text, c.emptyIsNull);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(static_cast<int>(value->GetKind()), static_cast<int>(c.kind));
        EXPECT_EQ(value->GetText(), c.bytes);
    }
}
