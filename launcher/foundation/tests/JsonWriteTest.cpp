#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Json.h"

namespace {

JSON::ValuePtr Parsed(std::string_view text) {
    JSON::Builder builder;
    EXPECT_EQ(builder.ParseString(text), 0) << text;
    return builder.Detach();
}

std::string Pretty(const JSON::Value& value) {
    std::string out;
    value.WritePretty(out);
    return out;
}

}  // namespace

TEST(JsonWrite, ScalarsAndEmptyContainersWriteExactText) {
    struct Case {
        const char* name;
        JSON::ValuePtr value;
        std::string text;  // compact and indented alike
    };
    Case cases[] = {
        {"true", JSON::MakeTrue(), "true"},
        {"false", JSON::MakeFalse(), "false"},
        {"null", JSON::MakeNull(), "null"},
        {"bool true", JSON::MakeBool(true), "true"},
        {"bool false", JSON::MakeBool(false), "false"},
        {"number kept as given", JSON::MakeNumber("1.50E+3"), "1.50E+3"},
        {"number not validated", JSON::MakeNumber("abc"), "abc"},
        {"empty string", JSON::MakeString("", false), R"("")"},
        {"empty string as null", JSON::MakeString("", true), "null"},
        {"quote backslash tab byte 1", JSON::MakeString("\"\\\t\x01", false), R"("\"\\\t\u0001")"},
        {"letter escapes", JSON::MakeString("\b\f\n\r", false), R"("\b\f\n\r")"},
        {"other control bytes", JSON::MakeString("\x1f\x0b", false), R"("\u001f\u000b")"},
        {"nul byte", JSON::MakeString(std::string("a\0b", 3), false), R"("a\u0000b")"},
        {"slash, UTF-8, DEL, 0xff raw", JSON::MakeString("a/b \xC3\xA9 \x7f\xff", false),
         "\"a/b \xC3\xA9 \x7f\xff\""},
        {"empty object", JSON::MakeObject(), "{}"},
        {"empty array", JSON::MakeArray(), "[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.value, nullptr);
        EXPECT_EQ(c.value->Dump(), c.text);
        EXPECT_EQ(Pretty(*c.value), c.text);
    }
}

TEST(JsonWrite, CompactTextSeparatesWithCommaBlankAndColonBlank) {
    JSON::Builder builder;
    EXPECT_EQ(builder.Dump(), "");
    builder.StartObject();
    builder.AddMember("a", JSON::MakeNumber("1"));
    builder.AddMember("b", JSON::MakeArray());
    builder.AppendToArray(JSON::MakeNumber("2"));
    builder.AppendToArray(JSON::MakeString("x", false));
    builder.Pop();
    builder.AddMember("k\"\\\x01", JSON::MakeObject());  // keys are escaped like values
    builder.Pop();
    builder.Pop();
    EXPECT_EQ(builder.Dump(), R"({"a": 1, "b": [2, "x"], "k\"\\\u0001": {}})");
}

TEST(JsonWrite, ObjectMadeFromMembersKeepsTheirOrder) {
    struct Case {
        const char* name;
        JSON::ValuePtr value;
        std::string text;
    };
    Case cases[] = {
        {"a reply", JSON::MakeObject({{"rc", JSON::MakeNumberFromUInt(171)}, {"content", JSON::MakeNull()}}),
         R"({"rc": 171, "content": null})"},
        {"not sorted", JSON::MakeObject({{"z", JSON::MakeTrue()}, {"a", JSON::MakeFalse()}}),
         R"({"z": true, "a": false})"},
        {"null value left out", JSON::MakeObject({{"a", nullptr}, {"b", JSON::MakeString("", true)}}),
         R"({"b": null})"},
        {"repeated key: last value, at the end",
         JSON::MakeObject({{"a", JSON::MakeNumber("1")}, {"b", JSON::MakeNumber("2")}, {"a", JSON::MakeNumber("3")}}),
         R"({"b": 2, "a": 3})"},
        {"nested",
         JSON::MakeObject({{"o", JSON::MakeObject({{"k\"", JSON::MakeArray()}})}, {"e", JSON::MakeObject({})}}),
         R"({"o": {"k\"": []}, "e": {}})"},
        {"no members", JSON::MakeObject({}), "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(c.value, nullptr);
        EXPECT_EQ(c.value->Dump(), c.text);
    }
}

TEST(JsonWrite, PrettyTextIndentsByFourAndEscapes) {
    struct Case {
        const char* input;
        const char* pretty;
    };
    const Case cases[] = {
        {R"({"k": [1, 2]})", "{\n    \"k\": [\n        1,\n        2\n    ]\n}"},
        {R"({"a": [], "b": {}, "c": "x\"y\u0001"})",
         "{\n    \"a\": [],\n    \"b\": {},\n    \"c\": \"x\\\"y\\u0001\"\n}"},
        {R"([[1], {"k\t\"": null}])", "[\n    [\n        1\n    ],\n    {\n        \"k\\t\\\"\": null\n    }\n]"},
        {"[]", "[]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        JSON::ValuePtr root = Parsed(c.input);
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(Pretty(*root), c.pretty);
        EXPECT_EQ(Pretty(*root), c.pretty);  // the depth is not kept between calls
    }
    JSON::ValuePtr root = Parsed(R"({"k": [1, 2]})");
    EXPECT_EQ(Pretty(*root->Find("k")), "[\n    1,\n    2\n]");  // a sub-value starts at depth 0
}

TEST(JsonBuilder, CallsGiveDocumentedResults) {
    using namespace JSON;
    struct Case {
        const char* name;
        std::function<bool(Builder&)> steps;
        bool result;
        const char* dump;
    };
    const Case cases[] = {
        {"StartObjectThenPopDumpsEmptyObject", [](Builder& b) { b.StartObject(); b.Pop(); return true; }, true, "{}"},
        {"AddMemberInsideArrayIsRefused", [](Builder& b) {
             b.StartObject();
             b.AddMember("a", MakeArray());
             return b.AddMember("x", MakeTrue());
         }, false, R"({"a": []})"},
        {"AppendToArrayInsideObjectIsRefused", [](Builder& b) { b.StartObject(); return b.AppendToArray(MakeTrue()); },
         false, "{}"},
        {"AddMemberWithNothingOpenIsRefused", [](Builder& b) { return b.AddMember("a", MakeTrue()); }, false, ""},
        {"AddOfScalarOnEmptyBuilderLeavesNoRoot", [](Builder& b) { return b.Add(MakeNumber("1")); }, false, ""},
        {"AddToObjectWithoutPendingKeyIsRefused", [](Builder& b) { b.StartObject(); return b.Add(MakeTrue()); },
         false, "{}"},
        {"PendingKeyIsUsedOnce", [](Builder& b) {
             b.StartObject();
             b.SetKey("k");
             return b.Add(MakeTrue()) && !b.Add(MakeFalse());
         }, true, R"({"k": true})"},
        {"NullValueIsRefused", [](Builder& b) {
             b.StartObject();
             b.SetKey("k");
             return b.AddMember("a", nullptr) || b.Add(nullptr) || b.AppendToArray(nullptr);
         }, false, "{}"},
        {"FilledArrayIsStoredButNotOpened", [](Builder& b) {
             b.StartObject();
             ValuePtr list = MakeArray();
             static_cast<Array&>(*list).PushBack(MakeNumber("1"));
             b.AddMember("list", std::move(list));
             return b.AddMember("next", MakeTrue());
         }, true, R"({"list": [1], "next": true})"},
        {"EmptyContainersOpenUntilPopped", [](Builder& b) {
             b.StartObject();
             b.AddMember("o", MakeObject());
             b.AddMember("x", MakeString("y", false));
             b.Pop();
             b.AddMember("a", MakeArray());
             b.AppendToArray(MakeNull());
             b.AppendToArray(MakeArray());
             b.Pop();
             b.AppendToArray(MakeNumberFromUInt(7));
             b.Pop();
             return b.AddMember("z", MakeFalse());
         }, true, R"({"o": {"x": "y"}, "a": [null, [], 7], "z": false})"},
        {"ContainerAddedWithNothingOpenBecomesRoot",
         [](Builder& b) { return b.Add(MakeArray()) && b.Add(MakeNumber("1")); }, true, "[1]"},
        {"PopOnEmptyStackDoesNothing", [](Builder& b) { b.Pop(); b.Pop(); return b.Depth() == 0; }, true, ""},
        {"StartObjectDropsPreviousTree", [](Builder& b) {
             b.StartObject();
             b.AddMember("a", MakeArray());
             b.StartObject();
             return b.Depth() == 1;
         }, true, "{}"},
        {"DetachForgetsOpenContainersAndPendingKey", [](Builder& b) {
             b.StartObject();
             b.AddMember("a", MakeArray());
             b.SetKey("k");
             ValuePtr root = b.Detach();
             const bool detached = root && root->Dump() == R"({"a": []})" && b.Depth() == 0 && b.Dump().empty();
             root.reset();  // the builder must not point into it any more
             return detached && b.Add(MakeObject()) && !b.Add(MakeNumber("1")) && !b.AppendToArray(MakeNull());
         }, true, "{}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Builder builder;
        EXPECT_EQ(c.steps(builder), c.result);
        EXPECT_EQ(builder.Dump(), c.dump);
    }
}

TEST(JsonObject, RepeatedInsertMovesKeyToEndAndKeepsLastValue) {
    // Small objects are searched in order, larger ones through an index: both are walked.
    for (const int keys : {7, 40}) {
        SCOPED_TRACE(std::to_string(keys) + " keys");
        JSON::Object object;
        std::vector<std::string> model;  // expected order of keys
        std::vector<int> last(keys, -1);
        std::uint32_t seed = 12345;
        // Enough moves to leave many holes behind and squeeze them out several times.
        for (int i = 0; i < 3000; ++i) {
            seed = seed * 1103515245u + 12345u;
            const int k = static_cast<int>((seed >> 16) % keys);
            const std::string key = std::string("k").append(std::to_string(k));
            object.Insert(key, JSON::MakeNumber(std::to_string(i)));
            std::erase(model, key);
            model.push_back(key);
            last[k] = i;

            if (i % 97 != 0 && i != 2999) continue;
            SCOPED_TRACE("after insert " + std::to_string(i));
            std::vector<std::string> walked;
            for (auto member : object) {
                walked.push_back(member.key);
                EXPECT_EQ(member.value.GetText(), std::to_string(last[std::stoi(member.key.substr(1))]));
            }
            EXPECT_EQ(walked, model);
            EXPECT_EQ(object.Size(), model.size());
            std::vector<std::string> positioned;
            JSON::Position at, end;
            ASSERT_TRUE(object.Begin(at));
            ASSERT_TRUE(object.End(end));
            for (; !(at == end); ++at) positioned.push_back(at.Key());
            EXPECT_EQ(positioned, model);
            for (const std::string& key : model) {
                ASSERT_NE(object.Find(key), nullptr);
                EXPECT_EQ(object.Find(key)->GetText(), std::to_string(last[std::stoi(key.substr(1))]));
            }
            JSON::ValuePtr copy = object.Clone();
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(copy->Dump(), object.Dump());
        }
        EXPECT_EQ(object.Find("k"), nullptr);
        EXPECT_EQ(object.Find("K0"), nullptr);  // byte-wise exact match
        EXPECT_EQ(object.Find(""), nullptr);    // a hole left behind is no member
    }
}

TEST(JsonValue, PositionsWalkElementsInOrder) {
    JSON::ValuePtr array = Parsed(R"([1, "a", null, [2]])");
    std::vector<std::string> walked;
    JSON::Position at, end;
    ASSERT_TRUE(array->Begin(at));
    ASSERT_TRUE(array->End(end));
    for (; !(at == end); ++at) walked.push_back(at.Key() + at.GetValue()->Dump());
    EXPECT_EQ(walked, (std::vector<std::string>{"1", R"("a")", "null", "[2]"}));

    JSON::ValuePtr empty = JSON::MakeObject();
    ASSERT_TRUE(empty->Begin(at));
    ASSERT_TRUE(empty->End(end));
    EXPECT_TRUE(at == end);
    JSON::ValuePtr scalar = JSON::MakeNumber("1");
    EXPECT_FALSE(scalar->Begin(at));
    EXPECT_FALSE(scalar->End(at));
}

TEST(JsonValue, CloneIsDeepAndIndependent) {
    JSON::ValuePtr original = Parsed(R"({"b": 1, "a": [{"x": "\u0001"}, [], null, true, -0], "c": {}, "b": 2})");
    JSON::ValuePtr copy = original->Clone();
    ASSERT_NE(copy, nullptr);
    const std::string text = R"({"a": [{"x": "\u0001"}, [], null, true, -0], "c": {}, "b": 2})";
    EXPECT_EQ(copy->Dump(), text);
    static_cast<JSON::Array&>(*original->Find("a")).PushBack(JSON::MakeTrue());
    static_cast<JSON::Object&>(*original->Find("c")).Insert("new", JSON::MakeTrue());
    static_cast<JSON::Object&>(*original).Insert("b", JSON::MakeNull());
    EXPECT_EQ(copy->Dump(), text);
    original.reset();  // the copy shares nothing with it
    EXPECT_EQ(copy->Dump(), text);
}

TEST(JsonValue, GetIntReadsLeadingIntegerOfNumbersOnly) {
    using namespace JSON;
    struct Case {
        const char* name;
        ValuePtr value;
        int expected;
    };
    Case cases[] = {
        {"7.9", MakeNumber("7.9"), 7},       {"2e3", MakeNumber("2e3"), 2},
        {"-12", MakeNumber("-12"), -12},     {"012", MakeNumber("012"), 12},
        {"-0", MakeNumber("-0"), 0},         {"int max", MakeNumber("2147483647"), INT_MAX},
        {"int min", MakeNumber("-2147483648"), INT_MIN},
        {"string 5", MakeString("5", false), -1},
        {"true", MakeTrue(), -1},            {"null", MakeNull(), -1},
        {"array", MakeArray(), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value->GetInt(), c.expected);
    }
}

TEST(JsonValue, MakeNumberFromUIntWritesSigned32Bit) {
    struct Case {
        std::uint32_t value;
        const char* text;
    };
    const Case cases[] = {{0u, "0"},           {7u, "7"},          {100u, "100"}, {2147483647u, "2147483647"},
                          {2147483648u, "-2147483648"}, {4294967196u, "-100"}, {4294967295u, "-1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        JSON::ValuePtr number = JSON::MakeNumberFromUInt(c.value);
        ASSERT_NE(number, nullptr);
        EXPECT_TRUE(number->IsNumber());
        EXPECT_EQ(number->GetText(), c.text);
        EXPECT_EQ(number->GetInt(), static_cast<std::int32_t>(c.value));
    }
}

TEST(JsonValue, FieldGettersAcceptOnlyTheirKind) {
    JSON::ValuePtr object = Parsed(
        R"({"n": 5, "f": 7.9, "s": "text", "digits": "42", "t": true, "no": false, "z": null, "o": {}, "a": [1]})");
    struct Case {
        const char* key;
        bool isInt;
        int intValue;
        bool isString;
        const char* stringValue;
        bool isBool;
        bool boolValue;
        bool isContainer;
    };
    const Case cases[] = {
        {"n", true, 5, false, "", false, false, false},
        {"f", true, 7, false, "", false, false, false},
        {"s", false, 0, true, "text", false, false, false},
        {"digits", false, 0, true, "42", false, false, false},
        {"t", false, 0, false, "", true, true, false},
        {"no", false, 0, false, "", true, false, false},
        {"z", false, 0, false, "", false, false, false},
        {"o", false, 0, false, "", false, false, true},
        {"a", false, 0, false, "", false, false, true},
        {"missing", false, 0, false, "", false, false, false},
        {"N", false, 0, false, "", false, false, false},
    };
    JSON::Scalar sentinel(JSON::ValueKind::Null);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        int i = -99;
        std::string s = "unchanged";
        bool b = true;
        JSON::Value* container = &sentinel;
        EXPECT_EQ(JSON::GetIntField(c.key, i, object.get()), c.isInt);
        EXPECT_EQ(i, c.isInt ? c.intValue : -99);
        EXPECT_EQ(JSON::GetStringField(c.key, s, object.get()), c.isString);
        EXPECT_EQ(s, c.isString ? c.stringValue : "unchanged");
        EXPECT_EQ(JSON::GetBoolField(c.key, b, object.get()), c.isBool);
        EXPECT_EQ(b, c.isBool ? c.boolValue : true);
        EXPECT_EQ(JSON::GetContainerField(c.key, container, object.get()), c.isContainer);
        EXPECT_EQ(container, c.isContainer ? object->Find(c.key) : &sentinel);

        EXPECT_FALSE(JSON::GetIntField(c.key, i, nullptr));
        EXPECT_FALSE(JSON::GetStringField(c.key, s, nullptr));
        EXPECT_FALSE(JSON::GetBoolField(c.key, b, nullptr));
        EXPECT_FALSE(JSON::GetContainerField(c.key, container, nullptr));
    }
}

TEST(JsonValue, AccessorsOnOtherKindsGiveDefaults) {
    JSON::ValuePtr array = Parsed(R"([{"k": 1}, "s"])");
    EXPECT_EQ(array->At(-1), nullptr);
    EXPECT_EQ(array->At(2), nullptr);
    EXPECT_EQ(array->Find("k"), nullptr);
    EXPECT_EQ(array->At(0)->At(0), nullptr);
    EXPECT_EQ(array->GetText(), "");
    EXPECT_FALSE(array->At(1)->GetBool());
    JSON::DeleteValue(array);
    EXPECT_EQ(array, nullptr);
    JSON::DeleteValue(array);  // a second call is harmless
}
