#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORInterUnicodeString.h"
#include "ZYNSysStringPool.h"
#include "ZYNSysWin.h"

namespace {

std::string Output(const ChildProcess::Result& result) { return ChildProcess::TextOutput(result); }

using Probe = QORInterUnicodeStringProbe;

QORInterUnicodeString Wide(const wchar_t* text) {
    QORInterUnicodeString s;
    s.BuildFromWide(text);
    return s;
}

std::wstring WideText(const QORInterUnicodeString& s) {
    const wchar_t* units = s.CastToWCharStar();
    return units ? std::wstring(units, static_cast<std::size_t>(s.GetLengthInChar())) : L"(null)";
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

// Runs a child case with LANG set, so the current converter is known; the child prints what
// differs and ends with 0 when nothing does.
void ExpectChildPasses(const char* name, const wchar_t* lang) {
    const ChildProcess::Result result = ChildProcess::Run(name, {{L"LANG", std::wstring(lang)}});
    ASSERT_TRUE(result.started) << name << ": " << result.output;
    EXPECT_EQ(result.exitCode, 0u) << name << ":\n" << result.output;
}

}  // namespace

TEST(QORInterUnicodeString, AChangeToASharedStringLeavesTheOtherHolderUntouched) {
    struct Case {
        const char* name;
        bool wide;
        const wchar_t* original;
        std::function<void(QORInterUnicodeString&)> change;
        const wchar_t* expected;
    };
    const Case cases[] = {
        // "abc" has room for 7 bytes, L"a" for 3 units: these changes fit in place.
        {"append that fits", false, L"abc", [](QORInterUnicodeString& s) { s += QORInterUnicodeString("de"); },
         L"abcde"},
        {"append that grows", false, L"abc", [](QORInterUnicodeString& s) { s += QORInterUnicodeString("defghijk"); },
         L"abcdefghijk"},
        {"wide append that fits", true, L"a", [](QORInterUnicodeString& s) { s += Wide(L"bc"); }, L"abc"},
        {"self append", false, L"abc", [](QORInterUnicodeString& s) { s += s; }, L"abcabc"},
        {"assignment that fits", false, L"abc", [](QORInterUnicodeString& s) { s = "xy"; }, L"xy"},
        {"wide build that fits", true, L"abc", [](QORInterUnicodeString& s) { s.BuildFromWide(L"xy"); }, L"xy"},
        {"replace", false, L"abc", [](QORInterUnicodeString& s) { s.Replace("b", "zz"); }, L"azzc"},
    };
    for (const Case& c : cases) {
        QORInterUnicodeString original = c.wide ? Wide(c.original) : QORInterUnicodeString(Narrow(c.original).c_str());
        QORInterUnicodeString copy(original);
        ASSERT_EQ(Probe::RefCount(original), 2) << c.name;
        c.change(copy);
        EXPECT_EQ(WideText(original), c.original) << c.name;
        EXPECT_EQ(WideText(copy), c.expected) << c.name;
        EXPECT_EQ(Probe::RefCount(original), 1) << c.name;
        EXPECT_NE(Probe::Representation(original), Probe::Representation(copy)) << c.name;
    }
}

TEST(QORInterUnicodeString, AppendKeepsCodePageTextOnlyWhenBothSidesAreCodePageText) {
    struct Case {
        const char* name;
        bool targetWide;
        bool appendedWide;
        int kind;
    };
    const Case cases[] = {
        {"code page + code page", false, false, 1},
        {"code page + UTF-16", false, true, 2},
        {"UTF-16 + code page", true, false, 2},
        {"UTF-16 + UTF-16", true, true, 2},
    };
    for (const Case& c : cases) {
        QORInterUnicodeString target = c.targetWide ? Wide(L"left") : QORInterUnicodeString("left");
        QORInterUnicodeString appended = c.appendedWide ? Wide(L"right") : QORInterUnicodeString("right");
        target += appended;
        EXPECT_EQ(target.GetStorageKind(), c.kind) << c.name;
        EXPECT_EQ(WideText(target), L"leftright") << c.name;
        EXPECT_EQ(WideText(appended), L"right") << c.name;
        target += target;
        EXPECT_EQ(WideText(target), L"leftrightleftright") << c.name << ", appended to itself";
        target += QORInterUnicodeString();
        EXPECT_EQ(target.GetLengthInChar(), 18) << c.name << ", empty appended";
    }
}

TEST(QORInterUnicodeString, CompareIsLengthFirstAndEqualsCharsMatchesByteForByte) {
    struct Compared {
        const char* first;
        const char* second;
        bool firstWide;
        int sign;
    };
    const Compared compared[] = {
        {"ab", "abc", false, -1}, {"abc", "ab", false, 1},    {"\x80" "b", "\x80" "bc", false, -1},
        {"\x80" "bc", "ab", false, 1}, {"abc", "abd", false, -1}, {"abc", "abc", false, 0},
        {"ab", "abc", true, -1},  {"abc", "ab", true, 1},     {"zz", "abc", true, -1},
        {"abd", "abc", true, 1},  {"", "a", false, -1},       {"abc", "abc", true, 0},
        // null: a released handle; a null second side always compares as 1
        {"a", nullptr, false, 1}, {nullptr, nullptr, false, 1}, {nullptr, "a", false, -1},
    };
    const auto handle = [](const char* text) {
        QORInterUnicodeString s(text ? text : "x");
        if (!text) s.Release();
        return s;
    };
    for (const Compared& c : compared) {
        QORInterUnicodeString first = handle(c.first);
        if (c.firstWide) first.BuildFromWideN(std::wstring(c.first, c.first + std::strlen(c.first)).c_str(),
                                               static_cast<std::int64_t>(std::strlen(c.first)));
        const int result = QORInterUnicodeString::Compare(first, handle(c.second));
        EXPECT_EQ((result > 0) - (result < 0), c.sign)
            << (c.first ? c.first : "(null)") << " vs " << (c.second ? c.second : "(null)") << (c.firstWide ? " wide" : "");
    }
    QORInterUnicodeString released("x");
    released.Release();

    struct Equal {
        const char* name;
        QORInterUnicodeString string;
        const char* text;
        bool equal;
    };
    const Equal equal[] = {
        {"code page same", QORInterUnicodeString("abc"), "abc", true},
        {"code page prefix", QORInterUnicodeString("abc"), "ab", false},
        {"code page longer text", QORInterUnicodeString("ab"), "abc", false},
        {"wide same", Wide(L"abc"), "abc", true},
        {"wide shorter text", Wide(L"abc"), "ab", false},
        {"wide longer text", Wide(L"ab"), "abc", false},
        {"wide differs", Wide(L"abd"), "abc", false},
        {"empty and null text", QORInterUnicodeString(), nullptr, true},
        {"empty and empty text", QORInterUnicodeString(""), "", true},
        {"text and empty text", QORInterUnicodeString("a"), "", false},
    };
    for (const Equal& c : equal) {
        EXPECT_EQ(c.string.EqualsChars(c.text), c.equal) << c.name;
        EXPECT_EQ(c.string.NotEqualsChars(c.text), !c.equal) << c.name;
    }
    EXPECT_TRUE(released.EqualsChars(""));
    EXPECT_FALSE(released.EqualsChars("a"));
    EXPECT_FALSE(released.Equals(QORInterUnicodeString("")));
    QORInterUnicodeString otherReleased("y");
    otherReleased.Release();
    EXPECT_FALSE(released.Equals(otherReleased));
    EXPECT_TRUE(released.Equals(released));
}

// Code page 1252: from the first byte of 128 or more, UTF-16 text is compared through its
// code-page form.
VAROMET_CHILD_CASE(EqualsCharsPastASCII) {
    struct Case {
        const char* name;
        const wchar_t* units;
        const char* text;
        bool equal;
    };
    const Case cases[] = {
        {"same", L"x\u00e9", "x\xE9", true},
        {"text longer", L"x\u00e9", "x\xE9y", false},
        {"string longer", L"x\u00e9y", "x\xE9", false},
        {"other character", L"x\u00e8", "x\xE9", false},
    };
    int failures = 0;
    for (const Case& c : cases) {
        if (Wide(c.units).EqualsChars(c.text) != c.equal) {
            std::printf("%s: %s\n", c.name, c.equal ? "unequal" : "equal");
            ++failures;
        }
    }
    return failures;
}

TEST(QORInterUnicodeString, EqualsCharsComparesPastASCIIThroughTheCodePageForm) {
    ExpectChildPasses("EqualsCharsPastASCII", L"en_US.1252");
}

TEST(QORInterUnicodeString, SearchExtractAndReplaceRefuseHostileIndices) {
    const QORInterUnicodeString text("abcabc");
    struct Searched {
        const char* part;
        int start;
        int index;
    };
    const Searched searched[] = {
        {"bc", 0, 1}, {"bc", 2, 4}, {"bc", 5, -1}, {"abc", 6, -1}, {"a", -1, -1},
        {"abcabcx", 0, -1}, {"", 0, -1}, {"c", 5, 5}, {"a", 2147483647, -1},
    };
    for (const Searched& c : searched)
        EXPECT_EQ(text.Search(QORInterUnicodeString(c.part), c.start), c.index) << c.part << " from " << c.start;

    struct Extracted {
        int start;
        int count;
        const wchar_t* expected;
    };
    const Extracted extracted[] = {
        {0, 3, L"abc"}, {3, 3, L"abc"}, {4, 3, L""}, {-1, 2, L""}, {2, 0, L""}, {2, -1, L""},
        {2147483647, 2147483647, L""}, {1, 2147483647, L""}, {2147483600, 100, L""}, {5, 1, L"c"},
    };
    for (const Extracted& c : extracted)
        EXPECT_EQ(WideText(text.Extract(c.start, c.count)), c.expected) << c.start << ", " << c.count;

    struct Replaced {
        const char* text;
        const char* from;
        const char* to;
        const char* expected;
    };
    const Replaced replaced[] = {
        {"aaaa", "aa", "b", "bb"},     {"aaa", "aa", "b", "ba"}, {"abab", "ab", "", ""},
        {"abc", "", "x", "abc"},       {"abc", "d", "x", "abc"}, {"a.b.c", ".", "::", "a::b::c"},
        {"abc", "abcd", "x", "abc"},
    };
    for (const Replaced& c : replaced) {
        QORInterUnicodeString s(c.text);
        s.Replace(QORInterUnicodeString(c.from), QORInterUnicodeString(c.to));
        EXPECT_TRUE(s.EqualsChars(c.expected)) << c.text << ": " << c.from << " -> " << c.to << " gave "
                                               << s.CastToCharStar();
    }
    QORInterUnicodeString wide = Wide(L"x\u00e9x\u00e9");
    wide.Replace(Wide(L"\u00e9"), QORInterUnicodeString("-"));
    EXPECT_EQ(WideText(wide), L"x-x-");
}

TEST(QORInterUnicodeString, AResultPastTwoGigabytesLeavesTheStringUnchangedWithoutAllocating) {
    QORInterUnicodeString text(std::string(65536, 'a').c_str());
    const QORInterUnicodeString to(std::string(65536, 'b').c_str());
    const QORInterUnicodeString from("a");
    const std::uint64_t heapBlocks = ZYNSysStringPool::HeapBlockCount();
    text.Replace(from, to);  // 65536 x 65536 bytes
    EXPECT_EQ(ZYNSysStringPool::HeapBlockCount(), heapBlocks);
    EXPECT_EQ(text.GetCharLength(), 65536);
    EXPECT_EQ(text.Search(QORInterUnicodeString("b"), 0), -1);

    std::vector<wchar_t> units(65536, L'c');
    QORInterUnicodeString wide;
    wide.BuildFromWideN(units.data(), static_cast<std::int64_t>(units.size()));
    wide.Replace(Wide(L"c"), to);
    EXPECT_EQ(wide.GetLengthInChar(), 65536);
}

TEST(QORInterUnicodeString, SizeRulesOfTheUTF8AndWideCopies) {
    struct Case {
        const char* name;
        QORInterUnicodeString string;
        std::size_t utf8Size;
        std::int64_t wideUnits;
    };
    const Case cases[] = {
        {"5 bytes", QORInterUnicodeString("abcde"), 7, 8},
        {"8 bytes", QORInterUnicodeString("abcdefgh"), 8, 12},
        {"9 bytes", QORInterUnicodeString("abcdefghi"), 15, 12},
        {"empty", QORInterUnicodeString(""), 0, 4},
        {"3 units", Wide(L"abc"), 7, 4},
        {"4 units", Wide(L"abcd"), 7, 8},
        {"lone surrogate", Wide(L"\xD800"), 7, 4},
        {"1+2+3+4 bytes", Wide(L"a\u00e9\u20ac\xD83D\xDE00"), 15, 8},
    };
    for (const Case& c : cases) {
        std::size_t size = 12345;
        c.string.ConvertToUTF8(nullptr, &size);
        EXPECT_EQ(size, c.utf8Size) << c.name;
        EXPECT_EQ(c.string.CopyToWide(nullptr), c.wideUnits) << c.name;
    }
    QORInterUnicodeString released("x");
    released.Release();
    EXPECT_EQ(released.CopyToWide(nullptr), 1);
    wchar_t unit = L'x';
    EXPECT_EQ(released.CopyToWide(&unit), 0);
    EXPECT_EQ(unit, 0);
}

TEST(QORInterUnicodeString, BoundedWritersNeverPassTheirRoom) {
    // Room 4 of "a", U+00E9, U+20AC: the euro's 3 bytes would pass it.
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    std::size_t size = 4;
    Wide(L"a\u00e9\u20ac").ConvertToUTF8(buffer, &size);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(std::string(buffer, 8), std::string("a\xC3\xA9#####", 8));

    struct Buffered {
        const char* name;
        QORInterUnicodeString string;
        std::size_t room;
        int result;
        const char* expected;
    };
    const Buffered buffered[] = {
        {"fits", QORInterUnicodeString("abc"), 8, 0, "abc"},
        {"rounded size too big", QORInterUnicodeString("abcde"), 7, -1, ""},
        {"empty", QORInterUnicodeString(""), 8, -1, ""},
        {"lone surrogate", Wide(L"x\xDC00"), 8, 0, "x\xEF\xBF\xBD"},
    };
    for (const Buffered& c : buffered) {
        char out[16];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(StringToUtf8Buffer(out, c.room, c.string), c.result) << c.name;
        EXPECT_STREQ(out, c.expected) << c.name;
        EXPECT_EQ(out[c.room], '#') << c.name;
    }
    std::unique_ptr<char, decltype(&std::free)> copy(StringToUtf8Alloc(Wide(L"h\u00e9")), &std::free);
    ASSERT_TRUE(copy);
    EXPECT_STREQ(copy.get(), "h\xC3\xA9");

    struct Catenated {
        const char* name;
        const char* dest;
        std::size_t size;
        const char* source;
        int result;
        const char* expected;
    };
    const Catenated catenated[] = {
        {"fits", "ab", 8, "cd", 0, "abcd"},
        {"cut to the room", "ab", 5, "cdef", 0, "abcd"},
        {"full", "abcd", 5, "e", 0, "abcd"},
        {"not terminated within its size", "abcdefg", 4, "x", -1, "abcdefg"},
        {"null source", "ab", 8, nullptr, -1, "ab"},
    };
    for (const Catenated& c : catenated) {
        char dest[16] = {};
        std::strcpy(dest, c.dest);
        EXPECT_EQ(StrCatBounded(dest, c.size, c.source), c.result) << c.name;
        EXPECT_STREQ(dest, c.expected) << c.name;
    }

    struct Decoded {
        const char* name;
        const char* utf8;
        std::size_t units;
        int result;
        const wchar_t* expected;
    };
    const Decoded decoded[] = {
        {"valid", "h\xC3\xA9", 4, 0, L"h\u00e9"},
        {"room below bytes + 1", "h\xC3\xA9", 3, -1, L""},
        {"truncated sequence", "a\xE2\x82", 8, -1, L""},
        {"encoded surrogate", "\xED\xA0\x80", 8, -1, L""},
        {"stray continuation", "\x80", 8, -1, L""},
    };
    for (const Decoded& c : decoded) {
        wchar_t out[8] = {};
        EXPECT_EQ(Utf8ToWideBuffer(out, c.units, c.utf8), c.result) << c.name;
        EXPECT_EQ(std::wstring(out), c.expected) << c.name;
    }
}

// Non-UTF-8 code page: UTF-8 is decoded into UTF-16 and bad sequences become U+FFFD.
VAROMET_CHILD_CASE(InvalidUTF8DecodesToReplacementCharacters) {
    struct Case {
        const char* name;
        const char* bytes;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"valid", "h\xC3\xA9\xF0\x9F\x98\x80", L"h\u00e9\xD83D\xDE00"},
        {"truncated at the end", "ab\xE2\x82", L"ab\uFFFD"},
        {"truncated inside", "a\xE2\x82z", L"a\uFFFDz"},
        {"encoded surrogate", "a\xED\xA0\x80z", L"a\uFFFDz"},
        {"overlong", "\xC0\xAF", L"\uFFFD"},
        {"stray continuations", "\x80\x80x", L"\uFFFDx"},
    };
    int failures = 0;
    for (const Case& c : cases) {
        QORInterUnicodeString s("old");
        s.BuildFromUTF8(c.bytes, std::strlen(c.bytes));
        if (s.GetStorageKind() != 2 || WideText(s) != c.expected) {
            std::printf("%s: kind %d, %s\n", c.name, s.GetStorageKind(), Narrow(WideText(s)).c_str());
            ++failures;
        }
    }
    return failures;
}

TEST(QORInterUnicodeString, InvalidUTF8AndLoneSurrogatesBecomeReplacementCharacters) {
    ExpectChildPasses("InvalidUTF8DecodesToReplacementCharacters", L"en_US.1252");
}

// UTF-8 code page: the bytes are kept as code-page text and are their own UTF-8 form.
VAROMET_CHILD_CASE(UTF8IsStoredAsCodePageText) {
    QORInterUnicodeString s;
    s.BuildFromUTF8("h\xC3\xA9", 3);
    char buffer[8] = {};
    std::size_t size = sizeof buffer;
    s.ConvertToUTF8(buffer, &size);
    std::printf("kind %d, %d bytes, %d units, %s\n", s.GetStorageKind(), s.GetCharLength(), s.GetLengthInChar(),
                std::string(buffer, size) == "h\xC3\xA9" ? "same bytes" : "other bytes");
    return 0;
}

TEST(QORInterUnicodeString, UTF8IsStoredAsCodePageTextWhenTheCodePageIsUTF8) {
    const ChildProcess::Result result = ChildProcess::Run("UTF8IsStoredAsCodePageText", {{L"LANG", L"C.UTF-8"}});
    ASSERT_TRUE(result.started) << result.output;
    EXPECT_EQ(Output(result), "kind 1, 3 bytes, 2 units, same bytes\n");
}

TEST(QORInterUnicodeString, PoolKeeps256BlocksAClassTakesBlocksReleasedOnItsThreadAndEndsWithIt) {
    if (!ZYNSysStringPool::IsEnabledForProcess()) GTEST_SKIP() << "the pool is switched off in this environment";
    // "abcdefg": 32 bytes of header and 8 of text, class 4. 64 bytes of text: 104, never pooled.
    std::thread([] {
        std::vector<QORInterUnicodeString> strings;
        for (int i = 0; i < 257; ++i) strings.emplace_back(std::string(7, static_cast<char>('a' + i % 26)).c_str());
        strings.emplace_back(std::string(64, 'x').c_str());
        EXPECT_EQ(Probe::BlockSize(strings.front()), 40u);
        EXPECT_EQ(Probe::BlockSize(strings.back()), 104u);
        strings.clear();
        EXPECT_EQ(ZYNSysStringPool::HeldInClass(4), 256);
        for (int k = 0; k < ZYNSysStringPool::kClasses; ++k)
            if (k != 4) {
                EXPECT_EQ(ZYNSysStringPool::HeldInClass(k), 0) << "class " << k;
            }
        const std::uint64_t heapBlocks = ZYNSysStringPool::HeapBlockCount();
        QORInterUnicodeString again("1234567");
        EXPECT_EQ(ZYNSysStringPool::HeapBlockCount(), heapBlocks);
        EXPECT_EQ(ZYNSysStringPool::HeldInClass(4), 255);
    }).join();

    const long livePools = ZYNSysStringPool::LivePoolCount();
    std::thread([livePools] {
        QORInterUnicodeString("held by the pool of a thread that ends");
        EXPECT_EQ(ZYNSysStringPool::LivePoolCount(), livePools + 1);
    }).join();
    EXPECT_EQ(ZYNSysStringPool::LivePoolCount(), livePools);
    // A string the thread's end releases after the pool has gone goes to the heap, not to a new pool.
    // This slot comes after the pool's, and the end of a thread runs its callback after the pool's.
    static const DWORD lateSlot =
        ::FlsAlloc([](void* data) { delete static_cast<QORInterUnicodeString*>(data); });
    ASSERT_NE(lateSlot, FLS_OUT_OF_INDEXES);
    std::thread([] {
        QORInterUnicodeString("makes the pool first");
        ::FlsSetValue(lateSlot, new QORInterUnicodeString("released at the thread's end"));
    }).join();
    EXPECT_EQ(ZYNSysStringPool::LivePoolCount(), livePools);

    auto made = std::make_unique<QORInterUnicodeString>("made elsewhere");
    std::thread([&made] {
        made.reset();
        EXPECT_EQ(ZYNSysStringPool::HeldInClass(5), 1);
    }).join();
}

// UTF-8 code page: five two-byte characters give a UTF-16 form of 5 units in a block reserved
// for 10 (32 bytes, class 3); a size recomputed from the 5 units would be 16 bytes, class 1.
VAROMET_CHILD_CASE(CachedWideFormGoesBackToItsOwnClass) {
    const char* text = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    QORInterUnicodeString(text).CastToWCharStar();  // the settings initialise outside the measured thread
    struct Case {
        const char* name;
        std::function<void(QORInterUnicodeString&)> drop;
    };
    const Case cases[] = {
        {"released", [](QORInterUnicodeString& s) { s.Release(); }},
        {"changed in place", [](QORInterUnicodeString& s) { s = "ab"; }},
    };
    int failures = 0;
    for (const Case& c : cases) {
        std::thread([&] {
            QORInterUnicodeString s(text);
            if (std::wcscmp(s.CastToWCharStar(), L"\u00e9\u00e9\u00e9\u00e9\u00e9") != 0) ++failures;
            const int class1 = ZYNSysStringPool::HeldInClass(1);
            const int class3 = ZYNSysStringPool::HeldInClass(3);
            c.drop(s);
            const int to1 = ZYNSysStringPool::HeldInClass(1) - class1;
            const int to3 = ZYNSysStringPool::HeldInClass(3) - class3;
            if (to1 != 0 || to3 != 1) {
                std::printf("%s: %d to class 1, %d to class 3\n", c.name, to1, to3);
                ++failures;
            }
        }).join();
    }
    return failures;
}

TEST(QORInterUnicodeString, ACachedWideFormGoesBackToThePoolClassItWasTakenFrom) {
    if (!ZYNSysStringPool::IsEnabledForProcess()) GTEST_SKIP() << "the pool is switched off in this environment";
    ExpectChildPasses("CachedWideFormGoesBackToItsOwnClass", L"C.UTF-8");
}

VAROMET_CHILD_CASE(PoolSwitch) {
    std::thread([] {
        QORInterUnicodeString s("abcdefg");
        s.Release();
        std::printf("enabled %d, held %d\n", ZYNSysStringPool::IsEnabledForProcess() ? 1 : 0,
                    ZYNSysStringPool::HeldInClass(4));
    }).join();
    return 0;
}

TEST(QORInterUnicodeString, PoolSwitchesDecideOncePerProcess) {
    struct Case {
        const char* name;
        std::optional<std::wstring> replay;
        std::optional<std::wstring> force;
        const char* output;
    };
    const Case cases[] = {
        {"neither", std::nullopt, std::nullopt, "enabled 1, held 1\n"},
        {"ReplayPurify", L"1", std::nullopt, "enabled 0, held 0\n"},
        {"ReplayPurify and force 1", L"1", L"1", "enabled 1, held 1\n"},
        {"force 0", std::nullopt, L"0", "enabled 0, held 0\n"},
        {"force 12", std::nullopt, L"12", "enabled 1, held 1\n"},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result result = ChildProcess::Run(
            "PoolSwitch", {{L"ReplayPurify", c.replay}, {L"ZYNStringRecyclePoolForceEnable", c.force}});
        ASSERT_TRUE(result.started) << c.name << ": " << result.output;
        EXPECT_EQ(Output(result), c.output) << c.name;
    }
}

TEST(QORInterUnicodeString, EightThreadsShareOneCachedFormAndGiveBackEveryReference) {
    const QORInterUnicodeString shared("shared between eight threads");
    const wchar_t* forms[8] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&shared, &forms, t] {
            for (int i = 0; i < 2000; ++i) {
                QORInterUnicodeString copy(shared);
                QORInterUnicodeString assigned;
                assigned = copy;
                const wchar_t* form = assigned.CastToWCharStar();
                if (!forms[t]) forms[t] = form;
                if (form != forms[t] || std::wcscmp(form, L"shared between eight threads") != 0) {
                    forms[t] = nullptr;
                    return;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) {
        EXPECT_EQ(forms[t], shared.CastToWCharStar()) << "thread " << t;
    }
    EXPECT_EQ(Probe::RefCount(shared), 1);
    EXPECT_NE(Probe::CachedForm(shared), nullptr);
}

TEST(QORInterUnicodeString, NullAndEmptyHandlesAnswerTheirNoRecordValues) {
    QORInterUnicodeString empty("");
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(empty.GetStorageKind(), 1);
    EXPECT_EQ(Probe::Representation(empty), Probe::Representation(QORInterUnicodeString(nullptr)));
    EXPECT_STREQ(empty.CastToWCharStar(), L"");

    QORInterUnicodeString released("x");
    released.Release();
    EXPECT_EQ(released.GetStorageKind(), 0);
    EXPECT_EQ(released.CastToWCharStar(), nullptr);
    EXPECT_STREQ(released.CastToCharStar(), "");
    EXPECT_EQ(released.BuildFromWide(L"x"), -1);
    released += QORInterUnicodeString("x");
    EXPECT_EQ(released.Search(QORInterUnicodeString("x"), 0), -1);
    EXPECT_TRUE(released.IsEmpty());
    EXPECT_EQ(empty.BuildFromWide(L""), -1);
    EXPECT_EQ(empty.BuildFromWide(L"w"), 1);
    EXPECT_EQ(empty.GetStorageKind(), 2);

    const wchar_t* chars = nullptr;
    int length = -1;
    const QORInterUnicodeString data = Wide(L"abc");
    ZYNSysGetStringData(&chars, &length, data);
    EXPECT_EQ(length, 3);
    ASSERT_NE(chars, nullptr);
    EXPECT_EQ(std::wstring(chars, 3), L"abc");
}
