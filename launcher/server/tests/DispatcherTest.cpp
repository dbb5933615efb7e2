// The dispatcher in this process: the request a command line makes, and the op postStatus
// with its three tries, behind the log and sleep seams.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "Backbone.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"
#include "Sleeper.h"

namespace {

class RecordingSleeper final : public Sleeper {
public:
    void Sleep(std::uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
    std::vector<std::uint32_t> sleeps;
};

constexpr char kBuilt[] = "[Backbone::Process]starting processing of these parameters : ";

class Dispatcher : public ::testing::Test {
protected:
    // The one-shot entry, with the program as the first argument.
    static int ProcessCommandLine(std::vector<std::wstring> args, JSON::ValuePtr& content) {
        args.insert(args.begin(), L"VarometLauncherGUI.exe");
        std::vector<wchar_t*> argv;
        for (std::wstring& a : args) argv.push_back(a.data());
        return Backbone::Process(argv.data(), static_cast<int>(argv.size()), content);
    }
    static int ProcessText(const std::string& text) {
        JSON::ValuePtr content;
        return Backbone::Process(text, content);
    }

    RecordingSink sink;
    RecordingSleeper sleeper;
    ScopedLogSink installedSink{sink};
    ScopedSleeper installedSleeper{sleeper};
};

TEST_F(Dispatcher, CommandLineArgumentsBecomeTheRequest) {
    struct Case {
        std::vector<std::wstring> args;
        std::string request;
        int rc;
    };
    const Case cases[] = {
        {{}, R"({"op": null})", 16},
        {{L""}, R"({"op": null, "args": null})", 17},
        {{L"nosuchop"}, R"({"op": "nosuchop", "args": null})", 17},
        {{L"nosuchop", L"a b"}, R"({"op": "nosuchop", "args": "a b"})", 17},
        {{L"nosuchop", L""}, R"({"op": "nosuchop", "args": null})", 17},
        {{L"nosuchop", L"a", L"", L"c"}, R"({"op": "nosuchop", "args": ["a", null, "c"]})", 17},
        {{L"nosuchop", L"", L""}, R"({"op": "nosuchop", "args": [null, null]})", 17},
        {{L"nosuchop", L"\u00e9\"\\"}, "{\"op\": \"nosuchop\", \"args\": \"\xC3\xA9\\\"\\\\\"}", 17},
        // The mode is chosen before: here "run" is the op, and a text is no action object.
        {{L"run", L"\\\\.\\pipe\\x"}, R"({"op": "run", "args": "\\\\.\\pipe\\x"})", 15},
        {{L"Run"}, R"({"op": "Run", "args": null})", 17},
        {{L"postStatus"}, R"({"op": "postStatus", "args": null})", 71},
    };
    for (const Case& c : cases) {
        const std::string name =
            c.args.empty() ? "no argument" : Narrow(c.args[0]) + "/" + std::to_string(c.args.size());
        RecordingSink fresh;
        ScopedLogSink installedFresh(fresh);
        JSON::ValuePtr content;
        EXPECT_EQ(ProcessCommandLine(c.args, content), c.rc) << name;
        EXPECT_EQ(fresh.After(kBuilt), c.request) << name;
        // A command line never carries a request context.
        EXPECT_TRUE(fresh.Has("[Backbone::Process] cannot build requestInfo from JSON : nullptr")) << name;
        EXPECT_EQ(content, nullptr) << name;
    }
}

TEST_F(Dispatcher, NoDocumentAnswers18) {
    JSON::ValuePtr content;
    EXPECT_EQ(Backbone::Process(static_cast<const JSON::Value*>(nullptr), content), 18);
    EXPECT_TRUE(sink.Has("[Backbone::Process] No parameters !"));
}

TEST_F(Dispatcher, PostStatusPostsTheExactMessageInBothArgumentForms) {
    struct Case {
        const char* label;
        const char* wparam;
        const char* lparam;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    constexpr WPARAM kAllOnes = std::numeric_limits<WPARAM>::max();
    const Case cases[] = {
        {"1049", "0", "0", 1049, 0, 0},
        {"1050abc", "7", "-7", 1050, 7, -7},
        {" +1051", "18446744073709551615", "-1", 1051, kAllOnes, -1},
        {"1052", "-1", "9223372036854775807", 1052, kAllOnes, std::numeric_limits<LPARAM>::max()},
        {"1053", "9223372036854775808", "-9223372036854775808", 1053, WPARAM{1} << 63,
         std::numeric_limits<LPARAM>::min()},
        // The message number is cut to 32 bits.
        {"4294968350", "1", "1", 1054, 1, 1},
    };
    RecordingWindow window(UniqueClassName());
    const std::string wnd = Narrow(window.ClassName());
    std::size_t expected = 0;
    for (const Case& c : cases) {
        const std::string members = R"({"wnd":")" + wnd + R"(","label":")" + c.label + R"(","wparam":")" + c.wparam +
                                    R"(","lparam":")" + c.lparam + R"("})";
        // One-shot form: the members as one JSON text; pipe form: the members as an object.
        JSON::ValuePtr content;
        EXPECT_EQ(ProcessCommandLine({L"postStatus", Widen(members)}, content), 0) << c.label;
        EXPECT_EQ(ProcessText(R"({"op":"postStatus","args":)" + members + "}"), 0) << c.label;
        expected += 2;
        std::vector<RecordingWindow::Message> got = window.WaitForMessages(expected, 10000);
        ASSERT_EQ(got.size(), expected) << c.label;
        for (std::size_t i = expected - 2; i < expected; ++i) {
            EXPECT_EQ(got[i].message, c.message) << c.label;
            EXPECT_EQ(got[i].wParam, c.wParam) << c.label;
            EXPECT_EQ(got[i].lParam, c.lParam) << c.label;
        }
    }
    EXPECT_TRUE(sleeper.sleeps.empty()) << "a message posted at the first try needs no wait";
    EXPECT_TRUE(
        sink.Has("[Backbone::Process]Posting to window(" + wnd + ") : msg[1051]//w[18446744073709551615]//l[-1]"));
    EXPECT_TRUE(sink.Has("[Backbone::Process]PostMessageToSysTray succeed !"));
}

TEST_F(Dispatcher, PostStatusToAMissingWindowAnswers70AfterThreeTries) {
    const std::string wnd = Narrow(UniqueClassName());
    EXPECT_EQ(
        ProcessText(R"({"op":"postStatus","args":{"wnd":")" + wnd + R"(","label":"1049","wparam":"0","lparam":"0"}})"),
        70);
    EXPECT_EQ(sleeper.sleeps, (std::vector<std::uint32_t>{5000, 5000, 5000}));
    EXPECT_TRUE(sink.Has("[Backbone::Process]PostMessageToSysTray failed !"));
}

TEST_F(Dispatcher, PostStatusWithUnusableArgumentsAnswers71) {
    struct Case {
        std::string args;
        std::string logged;  // one line the refusal leaves
    };
    const std::string full = R"("wnd":"w","label":"1049","lparam":"0","wparam":"0")";
    const Case cases[] = {
        {"null", "[Backbone::Process]JSON field [wnd] is missing !"},
        {R"("not json")", "[Backbone::Process]Fail to parse raw JSON string : 'not json'"},
        {R"("[1,2]")", "[Backbone::Process]Fail to parse raw JSON string : '[1,2]'"},
        {R"("{\"wnd\":\"w\"")", "[Backbone::Process]Fail to parse raw JSON string : '{\"wnd\":\"w\"'"},
        {R"(["w","1049","0","0"])", "[Backbone::Process]JSON field [label] is missing !"},
        {R"({"label":"1049","lparam":"0","wparam":"0"})", "[Backbone::Process]JSON field [wnd] is missing !"},
        {R"({"wnd":"w","lparam":"0","wparam":"0"})", "[Backbone::Process]JSON field [label] is missing !"},
        {R"({"wnd":"w","label":"1049","wparam":"0"})", "[Backbone::Process]JSON field [lparam] is missing !"},
        {R"({"wnd":"w","label":"1049","lparam":"0"})", "[Backbone::Process]JSON field [wparam] is missing !"},
        // The values travel as decimal strings, never as JSON numbers.
        {R"({"wnd":"w","label":1049,"lparam":0,"wparam":0})", "[Backbone::Process]JSON field [label] is missing !"},
        {R"({"wnd":null,"label":"1049","lparam":"0","wparam":"0"})",
         "[Backbone::Process]JSON field [wnd] is missing !"},
        // The parser makes an empty text null.
        {R"({"wnd":"w","label":"","lparam":"0","wparam":"0"})", "[Backbone::Process]JSON field [label] is missing !"},
    };
    for (const Case& c : cases) {
        RecordingSink fresh;
        ScopedLogSink installedFresh(fresh);
        EXPECT_EQ(ProcessText(R"({"op":"postStatus","args":)" + c.args + "}"), 71) << c.args;
        EXPECT_TRUE(fresh.Has(c.logged)) << c.args;
    }
    EXPECT_TRUE(sleeper.sleeps.empty());
}

TEST_F(Dispatcher, PostStatusWithANumberThatDoesNotConvertAnswers21) {
    const std::string cases[] = {
        R"({"wnd":"w","label":"abc","lparam":"0","wparam":"0"})",
        R"({"wnd":"w","label":"99999999999999999999","lparam":"0","wparam":"0"})",
        R"({"wnd":"w","label":"1049","lparam":"9223372036854775808","wparam":"0"})",
        R"({"wnd":"w","label":"1049","lparam":"0","wparam":"18446744073709551616"})",
        R"({"wnd":"w","label":"1049","lparam":"0","wparam":"x1"})",
        // Each number is converted as soon as it is read, even after a missing member.
        R"({"label":"abc","lparam":"0","wparam":"0"})",
    };
    for (const std::string& args : cases) {
        RecordingSink fresh;
        ScopedLogSink installedFresh(fresh);
        JSON::ValuePtr content;
        EXPECT_EQ(Backbone::Process(R"({"op":"postStatus","args":)" + args + "}", content), 21) << args;
        ASSERT_NE(content, nullptr) << args;
        EXPECT_EQ(content->Dump(), "null") << args;
        EXPECT_NE(fresh.After("!EXP![Backbone::Process]Exception thrown : "), "<none>") << args;
    }
    EXPECT_TRUE(sleeper.sleeps.empty());
}

TEST_F(Dispatcher, SecretsOnTheCommandLineNeverReachTheLog) {
    JSON::ValuePtr content;
    ProcessCommandLine({L"nosuchop", L"CASTGC=TGT-9876543210-cookiesecret; path=/"}, content);
    ProcessCommandLine({L"nosuchop", LR"({"cCas":"TGT-0123456789-ticketsecret"})", L"x"}, content);
    for (const std::string& line : sink.Lines()) {
        EXPECT_EQ(line.find("cookiesecret"), std::string::npos) << line;
        if (line.starts_with("[Backbone::Process]process by pass on wchar array : ")) {
            EXPECT_EQ(line.find("ticketsecret"), std::string::npos) << line;
        }
    }
}

}  // namespace
