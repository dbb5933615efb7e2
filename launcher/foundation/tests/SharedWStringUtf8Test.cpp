#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SharedWString.h"

namespace {

std::wstring Text(const SharedWString& s) {
    return std::wstring(s.c_str(), static_cast<std::size_t>(s.GetLength()));
}

// The platform's strict decoder; empty when it rejects the bytes.
std::wstring PlatformDecode(const std::string& bytes) {
    const int length = static_cast<int>(bytes.size());
    int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
    std::wstring out(units > 0 ? static_cast<std::size_t>(units) : 0, L'\0');
    if (units > 0) ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), length, out.data(), units);
    return out;
}

}  // namespace

TEST(SharedWStringUtf8, DecodingAcceptsWellFormedTextAndNothingPartial) {
    struct Case {
        const char* name;
        std::string bytes;
        int code;
        std::wstring text;
    };
    const Case cases[] = {
        {"empty", "", 0, L""},
        {"ascii", "abc", 0, L"abc"},
        {"U+0080", "\xC2\x80", 0, L"\u0080"},
        {"U+07FF", "\xDF\xBF", 0, L"\u07FF"},
        {"U+0800", "\xE0\xA0\x80", 0, L"\u0800"},
        {"U+D7FF", "\xED\x9F\xBF", 0, L"\uD7FF"},
        {"U+E000", "\xEE\x80\x80", 0, L"\uE000"},
        {"U+FFFF", "\xEF\xBF\xBF", 0, L"\uFFFF"},
        {"U+10000", "\xF0\x90\x80\x80", 0, L"\xD800\xDC00"},
        {"U+1F600", "a\xF0\x9F\x98\x80z", 0, L"a\xD83D\xDE00z"},
        {"U+10FFFF", "\xF4\x8F\xBF\xBF", 0, L"\xDBFF\xDFFF"},
        {"truncated 2-byte", "ok\xC3", 3, L""},
        {"truncated 4-byte", "ok\xF0\x9F\x98", 3, L""},
        {"continuation as lead", "ok\x80z", 4, L""},
        {"ASCII as continuation", "ok\xC3\x41", 4, L""},
        {"bad last continuation", "\xE2\x82\x41", 4, L""},
        {"overlong slash, 2 bytes", "..\xC0\xAF", 4, L""},
        {"overlong slash, 3 bytes", "..\xE0\x80\xAF", 4, L""},
        {"overlong slash, 4 bytes", "\xF0\x80\x80\xAF", 4, L""},
        {"overlong zero", "\xC0\x80", 4, L""},
        {"encoded high surrogate", "ok\xED\xA0\x80", 4, L""},
        {"encoded low surrogate", "\xED\xBF\xBF", 4, L""},
        {"embedded zero", std::string("a\0b", 3), 5, L""},
        {"above U+10FFFF", "ok\xF4\x90\x80\x80", 7, L""},
        {"lead F5", "\xF5\x80\x80\x80", 7, L""},
        {"lead F7", "\xF7\xBF\xBF\xBF", 7, L""},
        {"5-byte form", "\xF8\x88\x80\x80\x80", 7, L""},
        {"6-byte form", "\xFC\x84\x80\x80\x80\x80", 7, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SharedWString out(L"stale");
        EXPECT_EQ(SharedWString::FromUtf8(c.bytes.data(), static_cast<std::int32_t>(c.bytes.size()), out), c.code);
        EXPECT_EQ(Text(out), c.text);
        EXPECT_EQ(out.c_str()[out.GetLength()], L'\0');
        // The platform draws the same line; an embedded zero is ordinary text to it.
        if (c.code != 5) {
            EXPECT_EQ(PlatformDecode(c.bytes), c.text);
        }
    }

    SharedWString out(L"stale");
    EXPECT_EQ(SharedWString::FromUtf8(nullptr, out), 0);
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_EQ(SharedWString::FromUtf8("ok\xC3", out), 3);
    EXPECT_TRUE(out.IsEmpty());
}

TEST(SharedWStringUtf8, EncodingNeedsWholePairsAndRoomForTheZero) {
    struct Case {
        const char* name;
        std::wstring text;
        std::int32_t room;
        int code;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", L"", 1, 0, ""},
        {"ascii", L"abc", 4, 0, "abc"},
        {"no room for the zero", L"abc", 3, 6, ""},
        {"no room at all", L"abc", 0, 6, ""},
        {"2 and 3 bytes", L"\u00E9\u20AC", 6, 0, "\xC3\xA9\xE2\x82\xAC"},
        {"first pair", L"\xD800\xDC00", 5, 0, "\xF0\x90\x80\x80"},
        {"pair without room for the zero", L"\xD800\xDC00", 4, 6, ""},
        {"last pair", L"\xDBFF\xDFFF", 5, 0, "\xF4\x8F\xBF\xBF"},
        {"high surrogate at the end", L"ab\xD800", 16, 3, ""},
        {"high surrogate before a letter", L"ab\xD800z", 16, 7, ""},
        {"two high surrogates", L"\xD800\xD800", 16, 7, ""},
        {"lone low surrogate as its value", L"\xDC00", 16, 0, "\xED\xB0\x80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        std::int32_t size = c.room;
        EXPECT_EQ(SharedWString::ToUtf8(SharedWString(c.text.c_str()), buffer, size), c.code);
        EXPECT_EQ(size, static_cast<std::int32_t>(c.bytes.size()));
        if (c.room > 0) {
            EXPECT_EQ(std::string(buffer), c.bytes);
        }
    }
    std::int32_t size = 8;
    EXPECT_EQ(SharedWString::ToUtf8(L"a", nullptr, size), 6);
    EXPECT_EQ(size, 0);
}

TEST(SharedWStringUtf8, OwnConvertersAgreeWithThePlatformOnValidText) {
    const char* texts[] = {
        "plain",
        "\x7F\xC2\x80\xDF\xBF",
        "\xE0\xA0\x80\xEF\xBF\xBF",
        "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
        "C:\\Users\\J\xC3\xB6rg\\\xE6\x96\x87\xE6\xA1\xA3\\\xF0\x9F\x98\x80.txt",
    };
    for (const char* utf8 : texts) {
        SCOPED_TRACE(utf8);
        SharedWString wide;
        ASSERT_EQ(SharedWString::FromUtf8(utf8, wide), 0);
        EXPECT_EQ(Text(wide), Utf8ToUtf16(utf8));
        char buffer[64];
        std::int32_t size = sizeof buffer;
        ASSERT_EQ(SharedWString::ToUtf8(wide, buffer, size), 0);
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(size)), utf8);
        EXPECT_EQ(Utf16ToUtf8(wide.c_str()), utf8);
    }
    EXPECT_EQ(Utf8ToUtf16(nullptr), L"");
    EXPECT_EQ(Utf16ToUtf8(nullptr), "");
    EXPECT_EQ(Utf16ToUtf8(L""), "");
}
