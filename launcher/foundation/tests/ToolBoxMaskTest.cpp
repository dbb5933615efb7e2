// Requests as the log shows them: the secrets of what the parser makes of a text are masked,
// whatever spelling of their names the parser accepted.

#include <gtest/gtest.h>

#include <string>

#include "Json.h"
#include "ToolBox.h"

namespace {

JSON::ValuePtr Parse(const std::string& text) {
    JSON::Builder builder;
    builder.ParseString(text);
    return builder.Detach();
}

TEST(ToolBoxMask, ParsedValuesAreWrittenCompactWithTheirSecretsMasked) {
    struct Case {
        const char* name;
        std::string json, masked;
    } cases[] = {
        {"nothing secret", R"~({"a":[1,"x\u0001\"q",true,null,{}],"b":{"c":[]}})~",
         R"~({"a": [1, "x\u0001\"q", true, null, {}], "b": {"c": []}})~"},
        {"escaped name", R"~({"c\u0043as":"TGT-1-secretvalue","op":"x"})~", R"~({"cCas": "TGT-***(17)", "op": "x"})~"},
        {"cookie member in depth", R"~({"x":{"CAS\u0054GC":"TGT-99-xyzxyzxyz"}})~",
         R"~({"x": {"CASTGC": "TGT-***(16)"}})~"},
        {"number", R"~({"cCas":12345678901})~", R"~({"cCas": "1234***(11)"})~"},
        {"container", R"~({"cCas":["abcdefghij",{"k":"xy"}],"n":null})~",
         R"~({"cCas": ["abcd***(10)", {"k": "***(2)"}], "n": null})~"},
        {"quote in the secret", R"~({"cCas":"a\"bcdefghij"})~", R"~({"cCas": "a\"bc***(11)"})~"},
        {"cookie in a string", R"~(["CASTGC=TGT-99-xyzxyzxyz; a=b"])~", R"~(["CASTGC=TGT-***(16); a=b"])~"},
        {"JSON text in a string", R"~({"args":"{\"cCas\":\"TGT-1-secretvalue\"}"})~",
         R"~({"args": "{\"cCas\":\"TGT-***(17)\"}"})~"},
    };
    for (const Case& c : cases) {
        const JSON::ValuePtr value = Parse(c.json);
        ASSERT_NE(value, nullptr) << c.name;
        EXPECT_EQ(ToolBox::MaskSecretsInJson(*value), c.masked) << c.name;
    }
}

TEST(ToolBoxMask, RequestTextsAreMaskedInWhatTheParserBuilds) {
    struct Case {
        const char* name;
        std::string text, masked;
    } cases[] = {
        {"no name, no escape: as received", R"~({"op":"x",  "args":"a	b"})~", R"~({"op":"x",  "args":"a	b"})~"},
        {"not JSON", "STOP", "STOP"},
        {"escaped name", R"~({"cinfo":{"c\u0043as":"TGT-1-secretvalue"},"op":"x"})~",
         R"~({"cinfo": {"cCas": "TGT-***(17)"}, "op": "x"})~"},
        {"stray escape in the name", R"~({"c\Cas":"TGT-1-secretvalue"})~", R"~({"cCas": "TGT-***(17)"})~"},
        {"stray characters before the colon", R"~({"cCas" x :"TGT-1-secretvalue"})~", R"~({"cCas": "TGT-***(17)"})~"},
        {"nothing built: the text masker", "Cookie: CASTGC=TGT-99-xyzxyzxyz; lang=fr",
         "Cookie: CASTGC=TGT-***(16); lang=***(2)"},
        {"pretty-printed, no name", "{\r\n  \"op\": \"x\",\n  \"args\": null\n}",
         "{\\r\\n  \"op\": \"x\",\\n  \"args\": null\\n}"},
        {"pretty-printed, a name: compact", "{\n  \"cinfo\": {\"cCas\": \"TGT-1-secretvalue\"}\n}",
         R"~({"cinfo": {"cCas": "TGT-***(17)"}})~"},
    };
    for (const Case& c : cases) EXPECT_EQ(ToolBox::MaskSecretsInRequestText(c.text), c.masked) << c.name;
}

}  // namespace
