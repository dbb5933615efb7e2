#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "SharedWString.h"
#include "WStringList.h"

namespace {

std::wstring Text(const SharedWString& s) {
    return std::wstring(s.c_str(), static_cast<std::size_t>(s.GetLength()));
}

}  // namespace

TEST(SharedWString, WritingThroughACopyLeavesTheOtherHolderAlone) {
    struct Case {
        const char* name;
        void (*write)(SharedWString&);
        std::wstring written;
        bool unshares;
    };
    const Case cases[] = {
        {"Append", [](SharedWString& s) { s.Append(L"!"); }, L"hello!", true},
        {"Append2", [](SharedWString& s) { s.Append2(L"-", L"x"); }, L"hello-x", true},
        {"Append3", [](SharedWString& s) { s.Append3(L"", L"", L"?"); }, L"hello?", true},
        {"Assign", [](SharedWString& s) { s.Assign(L"bye", 3); }, L"bye", true},
        {"Delete", [](SharedWString& s) { s.Delete(1, 2); }, L"hlo", true},
        {"Replace", [](SharedWString& s) { s.Replace(L'l', L'L'); }, L"heLLo", true},
        {"GetBuffer",
         [](SharedWString& s) {
             s.GetBuffer(-1)[0] = L'J';
             s.ReleaseBuffer();
         },
         L"Jello", true},
        {"Append of nothing", [](SharedWString& s) { s.Append(L""); }, L"hello", false},
        {"Append2 of nothing", [](SharedWString& s) { s.Append2(SharedWString(), L""); }, L"hello", false},
        {"Delete at the end", [](SharedWString& s) { s.Delete(5, 1); }, L"hello", false},
        {"Replace without a match", [](SharedWString& s) { s.Replace(L'z', L'y'); }, L"hello", false},
        {"Replace of unit 0", [](SharedWString& s) { s.Replace(0, L'y'); }, L"hello", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SharedWString original(L"hello");
        SharedWString copy(original);
        ASSERT_EQ(original.GetRefCount(), 2u);
        c.write(copy);
        EXPECT_EQ(Text(original), L"hello");
        EXPECT_EQ(Text(copy), c.written);
        EXPECT_EQ(copy.SharesBlockWith(original), !c.unshares);
        EXPECT_EQ(original.GetRefCount(), c.unshares ? 1u : 2u);
        EXPECT_EQ(copy.c_str()[copy.GetLength()], L'\0');
    }
}

TEST(SharedWString, TheSharedEmptyBlockIsNeverCountedOrWritten) {
    SharedWString a;
    {
        SharedWString b(a), c(b);
        EXPECT_EQ(a.GetRefCount(), 0xFFFFFFFFu);
        SharedWString d(L""), e(L"x");
        e.Empty();
        d = b;
        EXPECT_TRUE(c.SharesBlockWith(a) && d.SharesBlockWith(a) && e.SharesBlockWith(a));
        EXPECT_TRUE(SharedWString(L"abc").Mid(1, 1).SharesBlockWith(a));
    }
    EXPECT_EQ(a.GetRefCount(), 0xFFFFFFFFu);
    SharedWString e(a);
    e.Append(L"x");
    EXPECT_EQ(Text(e), L"x");
    EXPECT_EQ(Text(a), L"");
    EXPECT_EQ(a.GetRefCount(), 0xFFFFFFFFu);
    EXPECT_EQ(a.c_str()[0], L'\0');
}

TEST(SharedWString, AnAssignmentWithoutABlockLeavesTheEmptyStringNotTheOldText) {
    // More units than a block can hold: no block can be had. The old text must not stay
    // behind as if the assignment had happened (an old path would then be acted on).
    const std::int32_t tooMany = 0x40000000;
    for (bool shared : {false, true}) {
        SharedWString text(L"C:\\old\\path");
        SharedWString holder;
        if (shared) holder = text;
        text.Assign(L"new", tooMany);
        EXPECT_TRUE(text.IsEmpty()) << shared;
        EXPECT_TRUE(text.SharesBlockWith(SharedWString())) << shared;
        if (shared) {
            EXPECT_EQ(Text(holder), L"C:\\old\\path");
        }
    }
}

TEST(SharedWString, AppendingAStringToItselfReadsTheOldText) {
    SharedWString a(L"ab");
    a.Append(a);
    EXPECT_EQ(Text(a), L"abab");
    a.Append2(a, a);
    EXPECT_EQ(Text(a), L"abababababab");
    SharedWString b(L"xy");
    b = SharedWString::Concat(b, b);
    EXPECT_EQ(Text(b), L"xyxy");
}

TEST(SharedWString, CopiesOnManyThreadsKeepTheCountRight) {
    SharedWString shared(L"shared text");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                SharedWString copy(shared);
                SharedWString other;
                other = copy;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(shared.GetRefCount(), 1u);
    EXPECT_EQ(Text(shared), L"shared text");
}

TEST(SharedWString, MidAndFindAnswerNeutrallyOutsideTheText) {
    struct MidCase {
        std::int32_t from, to;
        std::wstring expected;
    };
    const MidCase mids[] = {{2, 2, L""}, {3, 6, L""}, {-1, 2, L""}, {3, 2, L""}, {0, 5, L"abcde"}, {4, 5, L"e"}};
    const SharedWString abcde(L"abcde");
    for (const MidCase& c : mids) EXPECT_EQ(Text(abcde.Mid(c.from, c.to)), c.expected) << c.from << ".." << c.to;

    struct FindCase {
        const wchar_t* needle;
        std::int32_t start, expected;
    };
    const FindCase finds[] = {{L"a", 0, 0}, {L"ab", 1, 3}, {L"b", 4, 4}, {L"cab", 2, 2}, {L"", 0, -1},
                              {L"b", -1, -1}, {L"b", 5, -1}, {L"abcabx", 0, -1}, {L"ba", 0, -1}};
    const SharedWString abcab(L"abcab");
    for (const FindCase& c : finds) EXPECT_EQ(abcab.Find(c.needle, c.start), c.expected) << c.needle << " @" << c.start;
}

TEST(SharedWString, SplitKeepsEmptyPieces) {
    struct Case {
        const wchar_t* text;
        const wchar_t* separator;
        std::vector<std::wstring> pieces;
    };
    const Case cases[] = {
        {L"a,,b", L",", {L"a", L"", L"b"}},
        {L"a::b::", L"::", {L"a", L"b", L""}},
        {L",", L",", {L"", L""}},
        {L"abc", L"", {L"abc"}},
        {L"abc", L"x", {L"abc"}},
        {L"", L",", {L""}},
    };
    for (const Case& c : cases) {
        WStringList out(L"stale");
        SharedWString(c.text).Split(c.separator, out);
        std::vector<std::wstring> pieces;
        for (WStringList::Iterator it(&out); const SharedWString* piece = it.Next();) pieces.push_back(Text(*piece));
        EXPECT_EQ(pieces, c.pieces) << "'" << c.text << "' by '" << c.separator << "'";
    }
}

TEST(SharedWString, DeleteRemovesOnlyWhatLiesInTheText) {
    struct Case {
        std::int32_t position, count;
        std::wstring expected;
    };
    const Case cases[] = {{0, 1, L"ello"}, {4, 10, L"hell"}, {0, 5, L""}, {5, 1, L"hello"},
                          {6, 1, L"hello"}, {-1, 1, L"hello"}, {1, 0, L"hello"}};
    for (const Case& c : cases) {
        SharedWString s(L"hello");
        EXPECT_EQ(s.Delete(c.position, c.count), 0);
        EXPECT_EQ(Text(s), c.expected) << c.position << "+" << c.count;
    }
}

TEST(SharedWString, GetBufferKeepsTheTextAndReleaseBufferStopsAtZeroOrLimit) {
    SharedWString s(L"abc");
    wchar_t* units = s.GetBuffer(10);
    ASSERT_NE(units, nullptr);
    EXPECT_GE(s.GetCapacity(), 10);
    EXPECT_EQ(std::wstring(units, 3), L"abc");
    std::wcscpy(units, L"abcdef");
    s.ReleaseBuffer();
    EXPECT_EQ(Text(s), L"abcdef");
    s.ReleaseBuffer(2);
    EXPECT_EQ(Text(s), L"ab");

    SharedWString original(L"abcde");
    SharedWString copy(original);
    copy.GetBuffer(2);  // a shared block keeps the first two units only
    copy.ReleaseBuffer();
    EXPECT_EQ(Text(copy), L"ab");
    EXPECT_EQ(Text(original), L"abcde");
}

TEST(SharedWString, AppendsGrowTheCapacityByHalf) {
    SharedWString s(L"0123456789");
    ASSERT_EQ(s.GetCapacity(), 10);
    struct Step {
        const wchar_t* appended;
        std::int32_t capacity;
    };
    const std::wstring forty(40, L'g');
    // The last step needs 56 units, more than 1.5 x 22: exactly that many.
    const Step steps[] = {{L"a", 15}, {L"bcde", 15}, {L"f", 22}, {forty.c_str(), 56}};
    for (const Step& step : steps) {
        s.Append(step.appended);
        EXPECT_EQ(s.GetCapacity(), step.capacity) << "after " << s.GetLength();
    }
    EXPECT_TRUE(s.Reserve(100, true, false));
    EXPECT_EQ(s.GetCapacity(), 100);
    EXPECT_EQ(s.GetLength(), 56);
}

TEST(SharedWString, FormatTakesOneIntegerConversionOnly) {
    struct Case {
        const char* format;
        std::int32_t value;
        std::wstring expected;  // empty: E_FAIL, the string unchanged
    };
    const Case cases[] = {
        {"%d", 5, L"5"},
        {"%x", 255, L"ff"},
        {"%08X", 48879, L"0000BEEF"},
        {"[%5.3i]", 7, L"[  007]"},
        {"%u", -1, L"4294967295"},
        {"%ld", INT32_MIN, L"-2147483648"},
        {"%hd", 65537, L"1"},
        {"%hhd", 300, L"44"},
        {"%c", 0xE9, L"\u00E9"},  // the byte widened, not decoded
        {"100%% %+d", 1, L"100% +1"},
        {"%1024d", 1, std::wstring(1023, L' ') + L"1"},
        {"%1025d", 1, L""},
        {"%.0d", 0, L""},
        {"%s", 1, L""},
        {"%n", 1, L""},
        {"%lld", 1, L""},
        {"%I64d", 1, L""},
        {"%f", 1, L""},
        {"%*d", 1, L""},
        {"%1$d", 1, L""},
        {"%d %d", 1, L""},
        {"no conversion", 1, L""},
        {"%", 1, L""},
    };
    for (const Case& c : cases) {
        SharedWString s(L"keep");
        EXPECT_EQ(s.Format(c.value, c.format), c.expected.empty() ? E_FAIL : S_OK) << c.format;
        EXPECT_EQ(Text(s), c.expected.empty() ? L"keep" : c.expected) << c.format;
    }
    SharedWString s(L"keep");
    EXPECT_EQ(s.Format(1, nullptr), E_FAIL);
}
