// One-shot mode through the real program: its exit code is the request's return code, and
// postStatus reaches a window of another process.

#include <gtest/gtest.h>

#include <limits>

#include "Backbone.h"
#include "ChildProcess.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"

namespace {

TEST(OneShot, ExitCodeIsTheRequestsReturnCode) {
    struct Case {
        std::vector<std::wstring> args;
        EnvList env;
        DWORD exitCode;
        const char* logged;  // a line of the output, or null
    };
    const Case cases[] = {
        // No argument at all: an empty op and no "args".
        {{}, {}, 16, "[Backbone::Process]No [args] object was gave !"},
        {{L"nosuchop"}, {}, 17, "[Backbone::Process]Unknow param type : nosuchop"},
        // Only "run" itself selects run mode.
        {{L"Run", L"\\\\.\\pipe\\x"}, {}, 17, "[Backbone::Process]Unknow param type : Run"},
        {{L"run ", L"\\\\.\\pipe\\x"}, {}, 17, "[Backbone::Process]Unknow param type : run "},
        {{L"postStatus"}, {}, 71, "[Backbone::Process]JSON field [wnd] is missing !"},
        {{L"postStatus", L"{}"}, {}, 71, "[Backbone::Process]JSON field [wparam] is missing !"},
        {{L"postStatus", LR"({"wnd":"w","label":"abc","lparam":"0","wparam":"0"})"}, {}, 21, nullptr},
        // The debug pause: a number with trailing text pauses; no number at all ends the start-up.
        {{L"nosuchop"}, {{L"ZYNLD_DEBUG", L"250ms"}}, 17, "[MAIN]sleeping 250ms ms"},
        {{L"nosuchop"}, {{L"ZYNLD_DEBUG", L"soon"}}, 21, "!EXP![wWinMain]Exception thrown : "},
        // An empty WEX_TRQ_TMP would select the user context; the tests never leave the build tree.
    };
    for (const Case& c : cases) {
        const std::string name =
            c.args.empty() ? "no argument" : Narrow(c.args[0]) + "/" + std::to_string(c.args.size());
        TestFolder folder;
        const ULONGLONG start = ::GetTickCount64();
        ProductRun run = RunProduct(folder, c.args, c.env);
        EXPECT_EQ(run.exitCode, c.exitCode) << name;
        if (c.logged) {
            EXPECT_NE(run.output.find(c.logged), std::string::npos) << name << "\n" << run.output;
        }
        if (!c.env.empty() && c.exitCode == 17) {
            EXPECT_GE(::GetTickCount64() - start, 250u) << name;
        }
    }
}

TEST(OneShot, PostStatusFromTheCommandLineReachesTheWindow) {
    struct Case {
        const wchar_t* wparam;
        const wchar_t* lparam;
        WPARAM wParam;
        LPARAM lParam;
    };
    constexpr WPARAM kAllOnes = std::numeric_limits<WPARAM>::max();
    const Case cases[] = {
        {L"18446744073709551615", L"-1", kAllOnes, -1},
        {L"-1", L"-1", kAllOnes, -1},
        {L"42", L"-42", 42, -42},
    };
    RecordingWindow window(UniqueClassName());
    TestFolder folder;
    std::size_t expected = 0;
    for (const Case& c : cases) {
        const std::wstring args = LR"({"wnd":")" + window.ClassName() + LR"(","label":"1070","wparam":")" + c.wparam +
                                  LR"(","lparam":")" + c.lparam + LR"("})";
        ProductRun run = RunProduct(folder, {L"postStatus", args});
        EXPECT_EQ(run.exitCode, 0u) << Narrow(args) << "\n" << run.output;
        std::vector<RecordingWindow::Message> got = window.WaitForMessages(++expected, 10000);
        ASSERT_EQ(got.size(), expected) << Narrow(args);
        EXPECT_EQ(got.back().message, 1070u);
        EXPECT_EQ(got.back().wParam, c.wParam) << Narrow(args);
        EXPECT_EQ(got.back().lParam, c.lParam) << Narrow(args);
    }
}

TEST(OneShot, SecretsOnTheCommandLineNeverReachTheLog) {
    TestFolder folder;
    ProductRun run = RunProduct(folder, {L"nosuchop", L"CASTGC=TGT-9876543210-cookiesecret; path=/"});
    EXPECT_EQ(run.exitCode, 17u);
    EXPECT_NE(run.output.find("[wWinMain]Command line : "), std::string::npos);
    EXPECT_EQ(run.output.find("cookiesecret"), std::string::npos) << run.output;
}

class SilentSink final : public LogSink {
public:
    void Log(int, std::string_view message) override { Remember(message); }
    void LogDeferred(std::string_view message, int) override { Remember(message); }
    void ThrowEvent(int, std::string_view, std::uint16_t) override {}
    void Remember(std::string_view message) {
        if (message.starts_with("[Backbone::Stop]Could not open Local pipe[]")) couldNotOpen = true;
    }
    bool couldNotOpen = false;
};

// A stop with no server (the watchdog in one-shot mode): process-wide state, so in a child.
VAROMET_CHILD_CASE(StopWithoutServer) {
    SilentSink sink;
    ScopedLogSink installedSink(sink);
    const bool stopped = Backbone::Stop(false);
    installedSink.Restore();
    std::printf("stopped=%d couldNotOpen=%d running=%d\n", stopped, sink.couldNotOpen, Backbone::IsRunning());
    return 0;
}

TEST(OneShot, StopWithoutServerReportsItsPipeMissingAndSucceeds) {
    ChildProcess::Result child = ChildProcess::Run("StopWithoutServer");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_NE(child.output.find("stopped=1 couldNotOpen=1 running=0"), std::string::npos) << child.output;
}

}  // namespace
