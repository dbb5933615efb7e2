#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

#include "Json.h"
#include "JsonParser.h"
#include "JsonScanner.h"

using namespace std::literals;

namespace {

struct ParseCase {
    std::string_view input;
    int rc;
    std::string_view dump;  // exact compact text; empty when refused
};

// Control and high bytes shown as \xNN, so a failing case reads in the log.
std::string Shown(std::string_view text) {
    std::string out;
    for (unsigned char c : text.substr(0, 120)) {
        if (c >= 0x20 && c < 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return text.size() > 120 ? out + "..." : out;
}

void ExpectParses(const ParseCase& c) {
    SCOPED_TRACE(Shown(c.input));
    JSON::Builder builder;
    EXPECT_EQ(builder.ParseString(c.input), c.rc);
    EXPECT_EQ(builder.Dump(), c.dump);
}

std::string Repeat(std::string_view piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

}  // namespace

TEST(JsonParse, AcceptsDocumentsWithExactCompactText) {
    const ParseCase cases[] = {
        {"{}", 0, "{}"},
        {"[]", 0, "[]"},
        {" {\n\t\"a\" : 1 ,\"b\":[ 2 , \"x\" ] } ", 0, R"({"a": 1, "b": [2, "x"]})"},
        {"[true,false,null]", 0, "[true, false, null]"},
        {R"({"a":{"b":[{}, [], {"c":[[]]}]}})", 0, R"({"a": {"b": [{}, [], {"c": [[]]}]}})"},
        {R"({"a":1,"b":2,"a":3})", 0, R"({"b": 2, "a": 3})"},
        {R"(["", 1, {"a": ""}])", 0, R"([null, 1, {"a": null}])"},
        {"[-0, 012, 1.5E+10, 2e-3, 0.25]", 0, "[-0, 012, 1.5E+10, 2e-3, 0.25]"},
    };
    for (const ParseCase& c : cases) ExpectParses(c);
}

TEST(JsonParse, RefusesMalformedTextAndKeepsNoRoot) {
    const std::string_view refused[] = {
        "", " \n", "1", R"("s")", "true",                        // no container at the top
        R"({"a":1,})", "[1,]", "[1,,2]", "[,1]",                  // stray commas
        "{}{}", "[] []", "{}1",                                   // more after the document
        R"({"a"})", R"({"a":})", "{1:2}", R"({"a" 1})", R"({"a":1 "b":2})",
        R"({"a": "x" "y"})", R"(["a" "b"])", "[1 2]", "[truefalse]",
        "[", "]", "[}", R"({"a":[1})", R"({"a":1]})",
        R"(["abc)", R"({"a":"b)", R"(["a\"])",                    // input ends inside a string
    };
    for (std::string_view text : refused) ExpectParses({text, 1, ""});
}

TEST(JsonParse, SkipsStrayCharactersBetweenTokens) {
    const ParseCase cases[] = {
        {"[1]\r\n", 0, "[1]"},
        {"{\"a\":\r\n1}", 0, R"({"a": 1})"},
        {"[xyz]", 0, "[]"},
        {"[tru]", 0, "[]"},
        {"[nullx, truey]", 0, "[null, true]"},
        {"[+5, --1 -]", 0, "[5, -1]"},
        {"[.7, 1., 1e, 1e+]", 0, "[7, 1, 1, 1]"},
        {"#[\\1]", 0, "[1]"},
        {"[1\0]"sv, 0, "[1]"},
        {"[\xC3\xA9\xff]", 0, "[]"},
        {"[1.e5]", 1, ""},  // 1, then 5 after the skipped ".e": no comma between
        {"[0x10]", 1, ""},
    };
    for (const ParseCase& c : cases) ExpectParses(c);
}

TEST(JsonParse, StringEscapesDecodeInValuesAndKeys) {
    const ParseCase cases[] = {
        {R"(["a\"b\\c\/d\b\f\n\r\t"])", 0, R"(["a\"b\\c/d\b\f\n\r\t"])"},
        {R"(["\q\x"])", 0, R"(["qx"])"},
        {R"(["\u12", "\u12G4"])", 0, R"(["u12", "u12G4"])"},
        {R"(["\u0041\u00e9\u00E9\u20AC"])", 0, "[\"A\xC3\xA9\xC3\xA9\xE2\x82\xAC\"]"},
        {R"(["\uD83D\uDE00", "\udbff\udfff"])", 0, "[\"\xF0\x9F\x98\x80\", \"\xF4\x8F\xBF\xBF\"]"},
        {R"(["\uD800"])", 0, R"(["\\uD800"])"},
        {R"(["\uDC00"])", 0, R"(["\\uDC00"])"},
        {R"(["\uD800x"])", 0, R"(["\\uD800x"])"},
        {R"(["\uD800\u0041"])", 0, R"(["\\uD800A"])"},
        {R"(["\uDC00\uD800"])", 0, R"(["\\uDC00\\uD800"])"},
        {R"(["\\u0041"])", 0, R"(["\\u0041"])"},
        {R"(["\u0000"])", 0, R"(["\u0000"])"},
        {R"(["\u0001\u001F\u0008\u007f"])", 0, "[\"\\u0001\\u001f\\b\x7f\"]"},
        {"[\"a\x01\x1f\n\"]", 0, R"(["a\u0001\u001f\n"])"},
        {"[\"\xC3\xA9 /\xff\"]", 0, "[\"\xC3\xA9 /\xff\"]"},
        {R"({"\u00e9": 1})", 0, "{\"\xC3\xA9\": 1}"},
        {R"({"a\"b\\": 1})", 0, R"({"a\"b\\": 1})"},
        {R"({"\t\u0002": 1})", 0, R"({"\t\u0002": 1})"},
        {R"({"\uD800": 1})", 0, R"({"\\uD800": 1})"},
        {R"({"\u0041": 1, "A": 2})", 0, R"({"A": 2})"},
    };
    for (const ParseCase& c : cases) ExpectParses(c);
}

TEST(JsonParse, EmptyKeyValueKeepsDocumentShape) {
    const ParseCase cases[] = {
        {R"({"":{}, "b":{"c":1}})", 0, R"({"b": {"c": 1}})"},
        {R"({"": 1, "b": 2})", 0, R"({"b": 2})"},
        {R"({"": "", "b": "x"})", 0, R"({"b": "x"})"},
        {R"({"": [1, {"x": 2}], "b": 3})", 0, R"({"b": 3})"},
        {R"({"a": {"": {"b": 1}}, "c": 2})", 0, R"({"a": {}, "c": 2})"},
        {R"({"": {"": {"": []}}, "z": [{"": 1}]})", 0, R"({"z": [{}]})"},
        {R"([{"": {}}, {"": []}])", 0, "[{}, {}]"},
        {R"({"": {"a": 1,}})", 1, ""},
    };
    for (const ParseCase& c : cases) ExpectParses(c);
}

TEST(JsonParse, NestingDeeperThan512IsRefused) {
    const std::string arrays512 = Repeat("[", 512) + Repeat("]", 512);
    const std::string objects512 = Repeat(R"({"a":)", 511) + "{}" + Repeat("}", 511);
    const std::string emptyKeys512 = Repeat(R"({"":)", 511) + "{}" + Repeat("}", 511);
    const std::string arrays513 = Repeat("[", 513) + Repeat("]", 513);
    const std::string objects513 = Repeat(R"({"a":)", 512) + "{}" + Repeat("}", 512);
    const std::string emptyKeys513 = Repeat(R"({"":)", 512) + "{}" + Repeat("}", 512);
    const std::string open100k = Repeat("[", 100000);
    const std::string closed100k = open100k + Repeat("]", 100000);
    const std::string objects512Dump = Repeat(R"({"a": )", 511) + "{}" + Repeat("}", 511);
    const ParseCase cases[] = {
        {arrays512, 0, arrays512},
        {objects512, 0, objects512Dump},
        {emptyKeys512, 0, "{}"},
        {arrays513, 1, ""},
        {objects513, 1, ""},
        {emptyKeys513, 1, ""},  // discarded containers still count
        {open100k, 1, ""},
        {closed100k, 1, ""},
    };
    for (const ParseCase& c : cases) ExpectParses(c);
}

TEST(JsonParse, FailedParseLeavesNoRootInReusedBuilder) {
    JSON::Builder builder;
    std::istringstream first(R"({"a": [1]})");
    ASSERT_EQ(builder.Parse(first), 0);
    EXPECT_EQ(builder.Dump(), R"({"a": [1]})");
    EXPECT_EQ(builder.Depth(), 0u);
    EXPECT_EQ(builder.ParseString(R"({"a": [1})"), 1);
    EXPECT_EQ(builder.Dump(), "");
    EXPECT_EQ(builder.Detach(), nullptr);
    EXPECT_EQ(builder.ParseString("[2]"), 0);
    EXPECT_EQ(builder.Dump(), "[2]");
}

TEST(JsonParse, StrayInputWritesNothingToStandardOutput) {
    testing::internal::CaptureStdout();
    JSON::Builder builder;
    const int rc = builder.ParseString("[x\r+ # \"\\q\", \"\\u12\"]");
    std::cout.flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(builder.Dump(), R"(["q", "u12"])");
}

namespace {

// A stream whose source fails after its first bytes, as a broken pipe would.
class FailingBuf : public std::streambuf {
public:
    FailingBuf() { setg(text_, text_, text_ + 4); }

protected:
    int_type underflow() override { throw std::runtime_error("read failed"); }

private:
    char text_[5] = "[1, ";
};

}  // namespace

TEST(JsonParse, FailingInputStreamIsASyntaxErrorNotAnExit) {
    JSON::Builder builder;
    ASSERT_EQ(builder.ParseString("[0]"), 0);
    FailingBuf buffer;
    std::istream in(&buffer);
    int rc = -1;
    EXPECT_NO_THROW(rc = builder.Parse(in));
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(builder.Dump(), "");
}

TEST(JsonParse, TenMegabyteStringValueParsesWhole) {
    std::string text(10 * 1024 * 1024, 'x');
    for (std::size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<char>('a' + i % 26);
    // Without escapes the string is one token; with them it is read piece by piece.
    struct Case {
        std::string_view escape, decoded;
    };
    for (const Case& c : {Case{"", ""}, Case{R"(\n)", "\n"}, Case{R"(\u00e9)", "\xC3\xA9"}}) {
        SCOPED_TRACE(c.escape);
        std::string input = R"({"blob": ")";
        (((input += c.escape) += text) += c.escape) += R"("})";
        JSON::Builder builder;
        ASSERT_EQ(builder.ParseString(input), 0);
        std::string expected(c.decoded);
        (expected += text) += c.decoded;
        JSON::ValuePtr root = builder.Detach();
        ASSERT_NE(root->Find("blob"), nullptr);
        EXPECT_TRUE(root->Find("blob")->GetText() == expected);  // not printed: 10 MB
    }
}

TEST(JsonParse, HundredThousandDuplicateKeysFinishWithLastValues) {
    struct Case {
        const char* name;
        std::size_t distinctKeys;
    };
    const Case cases[] = {{"one key", 1}, {"two keys alternating", 2}, {"thousand keys cycling", 1000}};
    const std::size_t total = 100000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t rounds = total / c.distinctKeys;
        std::string text = "{";
        for (std::size_t i = 0; i < total; ++i) {
            if (i) text += ",";
            text += "\"k" + std::to_string(i % c.distinctKeys) + "\":" + std::to_string(i / c.distinctKeys);
        }
        text += "}";
        std::string expected = "{";
        for (std::size_t k = 0; k < c.distinctKeys; ++k) {
            if (k) expected += ", ";
            expected += "\"k" + std::to_string(k) + "\": " + std::to_string(rounds - 1);
        }
        expected += "}";
        JSON::Builder builder;
        ASSERT_EQ(builder.ParseString(text), 0);
        EXPECT_EQ(builder.Dump(), expected);
    }
}

namespace {

struct Token {
    int code;
    std::string text;  // NUMBER and STRING only
    bool operator==(const Token&) const = default;
};

void PrintTo(const Token& token, std::ostream* os) { *os << token.code << " '" << token.text << "'"; }

std::vector<Token> Scan(std::string_view input) {
    std::istringstream in{std::string(input)};
    JSON::Scanner scanner(&in);
    std::vector<Token> tokens;
    for (int guard = 0; guard < 100; ++guard) {
        JSON::Parser::semantic_type value;
        const int code = scanner.yylex(&value);
        if (code == 0) break;
        Token token{code, ""};
        if (code == JSON::Parser::token::TOK_NUMBER || code == JSON::Parser::token::TOK_STRING) {
            token.text = std::move(value.as<std::string>());
            value.destroy<std::string>();
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

}  // namespace

TEST(JsonScan, TokensCarryTheirCodesAndLexemes) {
    static_assert(JSON::Parser::token::TOK_LBRACE == 258 && JSON::Parser::token::TOK_STRING == 268);
    struct Case {
        std::string_view input;
        std::vector<Token> tokens;
    };
    const Case cases[] = {
        {"{}[]truefalsenull,:", {{258, ""}, {259, ""}, {260, ""}, {261, ""}, {262, ""}, {263, ""}, {264, ""},
                                 {265, ""}, {266, ""}}},
        {R"(-12.5E+3 "a b")", {{267, "-12.5E+3"}, {268, "a b"}}},
        {"012 1.e5", {{267, "012"}, {267, "1"}, {267, "5"}}},
        {".7 1e+ -", {{267, "7"}, {267, "1"}}},
        {R"("" "\q" "\u12")", {{268, ""}, {268, "q"}, {268, "u12"}}},
        {"x\r\t\n+", {}},
        {R"("unfinished)", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Shown(c.input));
        EXPECT_EQ(Scan(c.input), c.tokens);
    }
}

TEST(JsonParse, WrittenTextReadsBackToTheSameDocument) {
    const std::string_view inputs[] = {
        R"({"a\"b": "c\\d", "\u00e9": ["\uD83D\uDE00", "\uD800", "\\uD800"]})",
        "[\"\x01\x1f\x7f\xff\", \"\\u0000\", \"line\nbreak\"]",
        R"({"": {"x": 1}, "k": [{}, [], null, true, false, -0, 1E+2, 012]})",
        R"({"\t\n": "\b\f\r", "\/": "\/", "\u0000": "\u0001"})",
        R"({"a": 1, "b": 2, "a": 3})",
        R"(["\q", "\u12", ""])",
        R"({"\uDC00\uD800": "\uD800\uDC00"})",
        R"([[[{"deep": [{"er": {}}]}]]])",
    };
    for (std::string_view input : inputs) {
        SCOPED_TRACE(Shown(input));
        JSON::Builder builder;
        ASSERT_EQ(builder.ParseString(input), 0);
        JSON::ValuePtr document = builder.Detach();
        const std::string compact = document->Dump();
        std::string pretty;
        document->WritePretty(pretty);
        for (const std::string& written : {compact, pretty}) {
            SCOPED_TRACE(Shown(written));
            EXPECT_EQ(builder.ParseString(written), 0);
            EXPECT_EQ(builder.Dump(), compact);
        }
    }
}
