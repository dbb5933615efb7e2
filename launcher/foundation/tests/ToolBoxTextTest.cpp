#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "ToolBox.h"
#include "ToolBoxTestSupport.h"

namespace {

using namespace std::string_literals;

constexpr const char* kStamp = "%Y_%m_%d-%H%M%S";

TEST(ToolBoxText, StringToIntAcceptsOnlyAWholeNumberThatFits) {
    struct Case {
        std::string text;
        int base;
        bool ok;
        int value;
    } cases[] = {
        {"42", 10, true, 42}, {" 7", 10, true, 7}, {"+5", 10, true, 5}, {"-2147483648", 10, true, INT_MIN},
        {"2147483647", 10, true, INT_MAX}, {"0x1F", 16, true, 31}, {"ff", 16, true, 255}, {"12a", 10, false, 0},
        {"", 10, false, 0}, {" ", 10, false, 0}, {"-", 10, false, 0}, {"7 ", 10, false, 0},
        {"2147483648", 10, false, 0}, {"-2147483649", 10, false, 0}, {"99999999999", 10, false, 0},
        {"7\0x"s, 10, false, 0},  // what follows a NUL is still text after the number
    };
    for (const Case& c : cases) {
        int out = -99;
        EXPECT_EQ(ToolBox::StringToInt(c.text, out, c.base), c.ok) << "[" << c.text << "] base " << c.base;
        EXPECT_EQ(out, c.ok ? c.value : -99) << "[" << c.text << "] base " << c.base;
    }
}

TEST(ToolBoxText, SplitKeepsInnerEmptyPiecesButNoTrailingOne) {
    using List = std::vector<std::string>;
    struct Case {
        std::string text, delimiter;
        List pieces;
    } cases[] = {
        {"a,,b", ",", {"a", "", "b"}}, {"a,b,", ",", {"a", "b"}}, {",a", ",", {"", "a"}},
        {"", ",", {""}}, {"a,b", "", {"a,b"}}, {"a::b::c", "::", {"a", "b", "c"}},
    };
    for (const Case& c : cases) {
        List out = {"kept"};
        ToolBox::Split(c.text, c.delimiter, out);
        List expected = {"kept"};
        expected.insert(expected.end(), c.pieces.begin(), c.pieces.end());
        EXPECT_EQ(out, expected) << "[" << c.text << "] at [" << c.delimiter << "]";
    }
}

TEST(ToolBoxText, JoinWritesTheSeparatorOnlyAfterSomeText) {
    struct Case {
        std::vector<std::string> items;
        std::string joined;
    } cases[] = {{{"", "a", "b"}, "a,b"}, {{"a", "", "b"}, "a,,b"}, {{}, ""}, {{"", ""}, ""}, {{"x"}, "x"}};
    for (const Case& c : cases) EXPECT_EQ(ToolBox::Join(c.items, ","), c.joined) << c.joined;

    const wchar_t* args[] = {L"", L"run", nullptr, L"--open"};
    struct WideCase {
        int count;
        std::wstring joined;
    } wide[] = {{4, L"run  --open"}, {2, L"run"}, {0, L""}, {-1, L""}};
    for (const WideCase& c : wide) EXPECT_EQ(ToolBox::JoinWideArgs(args, c.count, L" "), c.joined) << c.count;
}

TEST(ToolBoxText, ReplaceTrimAndLowerLeaveBytesAbove0x7FAlone) {
    struct Case {
        std::string got, expected;
    } cases[] = {
        {ToolBox::ReplaceAll("aaa", "a", "aa", true), "aaaaaa"},  // scanning goes on after the insert
        {ToolBox::ReplaceAll("a-b-c", "-", "+", false), "a+b-c"},
        {ToolBox::ReplaceAll("abc", "", "x", true), "abc"},
        {ToolBox::Trim(" \t\r\n "), ""},
        {ToolBox::Trim("\t x y \n"), "x y"},
        {ToolBox::Trim(" \xA0x\x85 "), "\xA0x\x85"},  // not blanks in the C locale
        {ToolBox::ToLower("AbC-\xC3\x89\xFF"), "abc-\xC3\x89\xFF"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(ToolBoxText, ConversionsRoundTripAndNullReadsNull) {
    for (std::string text : {""s, "abc"s, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E"s}) {
        SharedWString shared = ToolBox::Utf8ToSharedWString(text);
        EXPECT_EQ(ToolBox::WideToUtf8({shared.c_str(), static_cast<std::size_t>(shared.GetLength())}), text) << text;
    }
    EXPECT_EQ(ToolBox::Utf8ToWide("\xF0\x9D\x84\x9E"), L"\xD834\xDD1E");
    EXPECT_EQ(ToolBox::CStrToString(nullptr), "NULL");
    EXPECT_EQ(ToolBox::WCStrToString(nullptr), "NULL");
    EXPECT_EQ(ToolBox::WCStrToString(L"\u00E9"), "\xC3\xA9");
}

// The platform would read only the part before the NUL: such a text converts to nothing.
TEST(ToolBoxText, TextHoldingNulConvertsToNothing) {
    for (std::string text : {"\0"s, "a\0b"s, "C:\\x\\victim.bin\0.lock"s}) {
        EXPECT_TRUE(ToolBox::HoldsNul(text)) << text;
        EXPECT_EQ(ToolBox::Utf8ToWide(text), L"") << text;
        EXPECT_TRUE(ToolBox::Utf8ToSharedWString(text).IsEmpty()) << text;
    }
    EXPECT_FALSE(ToolBox::HoldsNul("C:\\x\\victim.bin"));
}

TEST(ToolBoxText, FixedTextsForCodesGuidsAndPointers) {
    struct Case {
        std::string got, expected;
    } cases[] = {
        {ToolBox::HResultToString(S_OK), "S_OK"},
        {ToolBox::HResultToString(E_ACCESSDENIED), "E_ACCESSDENIED"},
        {ToolBox::HResultToString(static_cast<HRESULT>(0x80070002)), "[Hresult<-2147024894>]"},
        {ToolBox::HResultToString(2), "[Hresult<2>]"},
        {ToolBox::GuidToString(GUID{}), "{00000000-0000-0000-0000-000000000000}"},
        {ToolBox::GuidToString({0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}}),
         "{f1b32785-6fba-4fcf-9d55-7b8e7f157091}"},
        {ToolBox::GuidToString({0xFFFFFFFF, 0xFFFF, 0x8000, {0x80, 0xFF, 0, 1, 2, 3, 4, 0xFE}}),
         "{ffffffff-ffff-8000-80ff-0001020304fe}"},
        {ToolBox::PointerToString(nullptr), "0000000000000000"},
        {ToolBox::PointerToString(reinterpret_cast<void*>(0x1234ABCDULL)), "000000001234ABCD"},
        {ToolBox::PointerToString(reinterpret_cast<void*>(~0ULL)), "FFFFFFFFFFFFFFFF"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(ToolBoxText, MaskSecretsShowAPrefixOnlyOfLongSecretsAndEscapeLineBreaks) {
    for (auto [secret, masked] : {std::pair{"", ""}, {"abc", "***(3)"}, {"1234567", "***(7)"}, {"12345678", "1234***(8)"}})
        EXPECT_EQ(ToolBox::MaskSecret(secret), masked) << secret;
    struct Case {
        const char* name;
        std::string text, masked;
    } cases[] = {
        {"member", R"~({"cCas":"TGT-1-secretvalue","op":"run"})~", R"~({"cCas":"TGT-***(17)","op":"run"})~"},
        {"blanks", R"~({"cCas" : "short"})~", R"~({"cCas" : "***(5)"})~"},
        {"escaped quote", R"~({"cCas":"ab\"cdefgh","x":1})~", R"~({"cCas":"ab\"***(10)","x":1})~"},
        {"two members", R"~([{"cCas":"AAAA11111"},{"cCas":"BBBB22222"}])~",
         R"~([{"cCas":"AAAA***(9)"},{"cCas":"BBBB***(9)"}])~"},
        {"cookie", "Cookie: CASTGC=TGT-99-xyzxyzxyz; lang=fr", "Cookie: CASTGC=TGT-***(16); lang=***(2)"},
        {"two cookies", "CASTGC=abcdefghij&CASTGC=xy", "CASTGC=abcd***(10)&CASTGC=***(2)"},
        {"not a string", R"~({"cCas":null,"y":"CASTGC=abcdefghij"})~", R"~({"cCas":null,"y":"CASTGC=abcd***(10)"})~"},
        {"empty value", R"~({"cCas":""})~", R"~({"cCas":""})~"},
        {"unterminated", R"~({"cCas":"abcdefghijk)~", R"~({"cCas":"abcd***(11))~"},
        {"nothing secret", R"~({"cCasX":"v","CASTG":"w"})~", R"~({"cCasX":"v","CASTG":"w"})~"},
        {"quoted cookie", R"~(Cookie: CASTGC="TGT-99-xyzxyzxyz"; lang=fr)~",
         R"~(Cookie: CASTGC="TGT-***(16)"; lang=***(2))~"},
        {"quoted cookie in a string", R"~({"h":"CASTGC=\"TGT-99-xyzxyzxyz\"; a=b"})~",
         R"~({"h":"CASTGC=\"TGT-***(16)\"; a=b"})~"},
        {"cookie member", R"~({"CASTGC" : "TGT-99-xyzxyzxyz","b":1})~", R"~({"CASTGC" : "TGT-***(16)","b":1})~"},
        {"cookie name alone", R"~({"n":"CASTGC","v":"x"})~", R"~({"n":"CASTGC","v":"x"})~"},
        {"member inside a string", R"~({"args":"{\"cCas\":\"TGT-1-secretvalue\"}"})~",
         R"~({"args":"{\"cCas\":\"TGT-***(17)\"}"})~"},
        {"member inside a string, blanks", R"~("{\"cCas\" : \"abcdefghij\", \"x\":1}")~",
         R"~("{\"cCas\" : \"abcd***(10)\", \"x\":1}")~"},
        {"ticket in a query", "Location: http://h/app?ticket=ST-12-abcdefghij&x=1",
         "Location: http://h/app?ticket=ST-1***(16)&x=1"},
        {"ticket after another parameter", "http://h/?a=1&ticket=ST-1-zz#top", "http://h/?a=1&ticket=***(7)#top"},
        {"ticket ends the line", "Location: /x?ticket=ST-99-qwertyuiop\r\nX-A: b",
         "Location: /x?ticket=ST-9***(16)\\r\\nX-A: b"},
        {"ticket in a JSON string", R"~({"url":"http://h/?ticket=abcdefghij"})~",
         R"~({"url":"http://h/?ticket=abcd***(10)"})~"},
        {"ticket not a parameter", "serviceticket=abcdefghij ticket=abcdefghij",
         "serviceticket=abcdefghij ticket=abcdefghij"},
        // Other cookies open sessions too: a Cookie line's every value, a Set-Cookie line's cookie.
        {"session cookie set", "Set-Cookie: JSESSIONID=0123456789ABCDEF; Path=/app; HttpOnly",
         "Set-Cookie: JSESSIONID=0123***(16); Path=/app; HttpOnly"},
        {"any case", "set-cookie: sid=abcdefghij", "set-cookie: sid=abcd***(10)"},
        {"every cookie sent", R"~(COOKIE:a=1;b=22;  c="quoted-value")~",
         R"~(COOKIE:a=***(1);b=***(2);  c="quot***(12)")~"},
        {"in a head", "HTTP/1.1 302 Found\r\nSet-Cookie: JSESSIONID=0123456789ABCDEF; Path=/\r\nLocation: /x",
         "HTTP/1.1 302 Found\\r\\nSet-Cookie: JSESSIONID=0123***(16); Path=/\\r\\nLocation: /x"},
        {"in a JSON string", R"~({"h":"Cookie: a=abcdefghij; b=\"xyzxyzxyz\"\r\nX: y"})~",
         R"~({"h":"Cookie: a=abcd***(10); b=\"xyzx***(9)\"\r\nX: y"})~"},
        {"no cookie after the name", "Cookie: none; Cookies: a=b", "Cookie: none; Cookies: a=b"},
        {"name last", "Set-Cookie:", "Set-Cookie:"},
        // A client's line break would begin a line of its own making in the log.
        {"breaks", "a\r\nb\nc\rd", "a\\r\\nb\\nc\\rd"},
        {"a forged line", "x\n<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED line",
         "x\\n<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED line"},
        {"after a name", "cCas\n\"x\"", "cCas\\n\"x\""},
        {"in a secret", "{\"cCas\":\"ab\ncdefgh\"}", "{\"cCas\":\"***(9)\"}"},
    };
    for (const Case& c : cases) EXPECT_EQ(ToolBox::MaskSecretsInText(c.text), c.masked) << c.name;
}

// A NUL would end the line where the debugger and the event log read it, ESC and the other
// control bytes drive the terminal that shows the console: each is written as an escape.
TEST(ToolBoxText, MaskSecretsWritesEveryControlByteButTabAsAnEscape) {
    struct Case {
        const char* name;
        std::string text, masked;
    } cases[] = {
        {"NUL", "a\0b"s, "a\\0b"},
        {"NUL then a line feed", "C:\\x\\m\0\n<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED"s,
         "C:\\x\\m\\0\\n<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED"},
        {"0x01", "a\x01" "b", "a\\x01b"},
        {"BEL", "a\ab", "a\\x07b"},
        {"backspace", "a\bb", "a\\x08b"},
        {"vertical tab and form feed", "a\v\fb", "a\\x0B\\x0Cb"},
        {"ESC of a colour", "\x1B[31mred\x1B[0m", "\\x1B[31mred\\x1B[0m"},
        {"ESC that clears the screen", "x\x1B[2J", "x\\x1B[2J"},
        {"0x1F", "a\x1F" "b", "a\\x1Fb"},
        {"DEL", "a\x7F" "b", "a\\x7Fb"},
        {"CR and LF", "a\r\nb", "a\\r\\nb"},
        {"TAB stays", "a\tb", "a\tb"},
        {"blank and tilde stay", " ~", " ~"},
        {"UTF-8 stays", "caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"a byte that is no UTF-8 stays", "a\xFF" "b", "a\xFF" "b"},
        {"every byte in a row", "\0\x01\a\b\x1B\x1F\x7F\r\n"s, "\\0\\x01\\x07\\x08\\x1B\\x1F\\x7F\\r\\n"},
        {"last byte", "a\x1B", "a\\x1B"},
        {"a cookie value ends at ESC", "Cookie: a=abcdefghij\x1B[31m", "Cookie: a=abcd***(10)\\x1B[31m"},
        {"NUL in a ticket", "http://h/?ticket=ST-1-abcdefgh\0x"s, "http://h/?ticket=ST-1***(15)"},
        {"in a secret", "{\"cCas\":\"\x1B" "bcdefghij\"}", "{\"cCas\":\"***(10)\"}"},
        {"around a secret", "\x07{\"cCas\":\"abcdefghij\"}\x7F", "\\x07{\"cCas\":\"abcd***(10)\"}\\x7F"},
    };
    for (const Case& c : cases) EXPECT_EQ(ToolBox::MaskSecretsInText(c.text), c.masked) << c.name;
}

// Every request passes the masker: a megabyte of names that look like secrets, or of
// secrets, is masked in time linear in its length (the bound is generous for Wine).
TEST(ToolBoxText, MaskSecretsTakesLinearTimeOnAMegabyteOfNames) {
    struct Case {
        const char* name;
        std::string piece, masked;
    } cases[] = {
        {"member names alone", "cCas ", "cCas "},
        {"cookie names alone", "CASTGC ", "CASTGC "},
        {"both names", "cCas CASTGC ", "cCas CASTGC "},
        {"members", R"~({"cCas":"v"},)~", R"~({"cCas":"***(1)"},)~"},
        {"cookies", "CASTGC=abcdefghij;", "CASTGC=abcd***(10);"},
        {"ticket names alone", "ticket= ", "ticket= "},
        {"tickets", "?ticket=abcdefghij&", "?ticket=abcd***(10)&"},
        {"cookie header names alone", "cookie: ", "cookie: "},
        {"cookie lines", "Cookie: a=bcdefghij; c=d\n", "Cookie: a=bcde***(9); c=***(1)\\n"},
        {"line breaks", "\r\n", "\\r\\n"},
        {"control bytes", "\x1B[2J\0\a"s, "\\x1B[2J\\0\\x07"},
    };
    constexpr std::size_t kSize = 1 << 20;
    for (const Case& c : cases) {
        std::string text, expected;
        while (text.size() < kSize) text += c.piece, expected += c.masked;
        const auto start = std::chrono::steady_clock::now();
        const std::string masked = ToolBox::MaskSecretsInText(text);
        const auto spent = std::chrono::steady_clock::now() - start;
        EXPECT_LT(spent, std::chrono::seconds(2)) << c.name;
        EXPECT_TRUE(masked == expected) << c.name;
    }
}

// The zone text of this process: the runner starts every test under TZ=UTC.
bool ZoneIsUtc() {
    TIME_ZONE_INFORMATION zone;
    return ::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_UNKNOWN && zone.Bias == 0;
}

TEST(ToolBoxTime, FormatTimeShowsThreeDigitMillisAndRefusesWhatItCannotConvert) {
    if (!ZoneIsUtc()) GTEST_SKIP() << "the expected texts are UTC times";
    const std::int64_t t = 1700000000 * kUnitsPerSecond;  // 2023-11-14 22:13:20 UTC
    FixedClock clock(t + 1230000);
    struct Case {
        const char* name;
        std::string got, expected;
    } cases[] = {
        {"5 ms", ToolBox::FormatTime(t + 50000, true, false, kStamp), "2023_11_14-221320.005"},
        {"whole second", ToolBox::FormatTime(t, true, false, kStamp), "2023_11_14-221320.000"},
        {"999 ms", ToolBox::FormatTime(t + 9999999, true, true, kStamp), "2023_11_14-221320.999+0000i"},
        {"day", ToolBox::FormatTime(t, false, false, "%Y_%m_%d"), "2023_11_14"},
        {"epoch", ToolBox::FormatTime(0, true, false, kStamp), "1970_01_01-000000.000"},
        {"seconds", ToolBox::FormatSeconds(1700000000, true, kStamp), "2023_11_14-221320+0000i"},
        {"-1 unit", ToolBox::FormatTime(-1, true, true, kStamp), "(invalid time)"},
        {"-1 s", ToolBox::FormatTime(-kUnitsPerSecond, false, false, kStamp), "(invalid time)"},
        {"largest", ToolBox::FormatTime(INT64_MAX, true, false, kStamp), "(invalid time)"},
        {"seconds -1", ToolBox::FormatSeconds(-1, false, kStamp), "(invalid time)"},
        {"seconds overflow", ToolBox::FormatSeconds(INT64_MAX / 1000, false, kStamp), "(invalid time)"},
        {"no pattern", ToolBox::FormatTime(t, false, false, nullptr), "(invalid time)"},
        {"clock's now", ToolBox::FormatTime(std::nullopt, true, false, kStamp), "2023_11_14-221320.123"},
        {"clock's seconds", std::to_string(ToolBox::NowSeconds()), "1700000000"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.expected) << c.name;
}

// Started by their own ctest entries with the runner's VAROMET_WINE_TZ: under Wine the zone
// is the Unix TZ the process started with, which a Windows parent cannot change for a child.
int Report(const std::vector<std::pair<std::string, std::string>>& checks) {
    int failed = 0;
    for (const auto& [got, expected] : checks) {
        std::printf("%s [%s] expected [%s]\n", got == expected ? "ok  " : "FAIL", got.c_str(), expected.c_str());
        failed += got != expected;
    }
    return failed == 0 ? 0 : 1;
}

VAROMET_CHILD_CASE(ZoneOneHourAheadWithoutDaylightRules) {
    return Report({
        {ToolBox::FormatSeconds(1700000000, true, kStamp), "2023_11_14-231320+0100i"},
        {ToolBox::FormatSeconds(1720000000, true, kStamp), "2024_07_03-104640+0100i"},
    });
}

// Central European rules: summer time from the last Sunday of March to the last Sunday of
// October, 01:00 UTC both times.
VAROMET_CHILD_CASE(ZoneOneHourAheadWithDaylightRules) {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const year y = year_month_day(floor<days>(now)).year();
    const bool summer = now >= sys_days(y / March / Sunday[last]) + 1h && now < sys_days(y / October / Sunday[last]) + 1h;
    // The letter is today's; the digits keep the standard offset all year.
    const std::string zone = summer ? "+0100d" : "+0100s";
    return Report({
        {ToolBox::FormatSeconds(1700000000, true, kStamp), "2023_11_14-231320" + zone},
        {ToolBox::FormatSeconds(1720000000, true, kStamp), "2024_07_03-114640" + zone},
        {ToolBox::FormatSeconds(1711846799, false, kStamp), "2024_03_31-015959"},  // 00:59:59 UTC
        {ToolBox::FormatSeconds(1711846800, false, kStamp), "2024_03_31-030000"},
        {ToolBox::FormatSeconds(1729990799, false, kStamp), "2024_10_27-025959"},
        {ToolBox::FormatSeconds(1729990800, false, kStamp), "2024_10_27-020000"},
    });
}

TEST(ToolBoxErrors, ExceptionsAreLoggedAndNeverRethrown) {
    struct Case {
        const char* name;
        std::function<void()> act;
        std::vector<LogEntry> logged;
    } cases[] = {
        {"std", [] { LogException(std::runtime_error("y"), "[X]", false); }, {{'L', 50, "!EXP![X]y"}}},
        {"std to event log", [] { LogException(std::runtime_error("y"), "[X]", true); },
         {{'L', 50, "!EXP![X]y"}, {'E', 50, "!EXP![X]y#1"}}},
        {"captured std", [] { LogCurrentException(std::make_exception_ptr(std::logic_error("bad")), "[T]"); },
         {{'L', 50, "!EXP![T]bad"}}},
        {"captured int", [] { LogCurrentException(std::make_exception_ptr(42), "[T]"); },
         {{'L', 50, "!EXP![T]unknown exception"}}},
        {"empty capture", [] { LogCurrentException(nullptr, "[T]"); }, {}},
    };
    for (const Case& c : cases) {
        RecordingSink sink;
        EXPECT_NO_THROW(c.act()) << c.name;
        EXPECT_EQ(sink.entries, c.logged) << c.name;
    }
}

TEST(ToolBoxErrors, SystemErrorTextNamesBothCodes) {
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    errno = ENOENT;
    const std::string text = ToolBox::GetSystemErrorText();
    EXPECT_EQ(text.rfind("( errno[2] : No such file or directory // winerr[2] : ", 0), 0u) << text;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 2), " )") << text;
    // A system text with an insert (%1) is given as it is, not filled from nothing.
    EXPECT_NE(ToolBox::FormatMessageText(ERROR_BAD_EXE_FORMAT).find("%1"), std::string::npos);
    EXPECT_EQ(ToolBox::FormatMessageText(0x2FFFFFFF).rfind("{[FormatMessageW] failed with this error code [317] with message :|", 0),
              0u);
}

}  // namespace
