// The hidden window of run mode: the messages of Windows and of other launcher instances
// that stop the server, those that do not, and the closing notice to the service.

#include <gtest/gtest.h>

#include "FakeServicePipe.h"
#include "LauncherTestSupport.h"

namespace {

constexpr DWORD kWait = 15000;
// Below the 5 s a wait for a pipe instance would take, with a margin a loaded machine keeps.
constexpr std::int64_t kPrompt = 4500;

std::string ClosingNotice(DWORD launcherProcess) {
    DWORD session = 0;
    EXPECT_TRUE(::ProcessIdToSessionId(launcherProcess, &session));
    return "{\"closingSession\": " + std::to_string(session) + "}";
}

class WindowMessage : public ::testing::Test {
protected:
    std::vector<std::wstring> RunArgs() const { return {L"run", pipe}; }

    // Sends a message to the launcher's window and answers its result.
    static std::optional<LRESULT> Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam = 0) {
        DWORD_PTR result = 0;
        if (!::SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kWait, &result))
            return std::nullopt;
        return static_cast<LRESULT>(result);
    }

    TestFolder folder;
    const std::wstring pipe = UniquePipeName();
};

TEST_F(WindowMessage, StopMessagesEndTheServerAndTellTheService) {
    struct Case {
        const char* name;
        UINT message;
        WPARAM wParam;
        std::optional<LRESULT> result;  // nothing: whatever the default procedure answers
    };
    const Case cases[] = {
        {"WM_CLOSE", WM_CLOSE, 0, 1},
        {"WM_QUERYENDSESSION", WM_QUERYENDSESSION, 0, TRUE},
        {"WM_QUIT sent to the window", WM_QUIT, 0, 1},
        {"WM_ENDSESSION(TRUE)", WM_ENDSESSION, TRUE, std::nullopt},
        {"WM_DESTROY", WM_DESTROY, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        FakeServicePipe service;
        ASSERT_TRUE(service.Serving());
        Launcher launcher(folder, RunArgs());
        ASSERT_TRUE(WaitForPipe(pipe, kWait)) << c.name;
        HWND window = launcher.Window(kWait);
        ASSERT_NE(window, nullptr) << c.name;
        std::optional<LRESULT> result = Send(window, c.message, c.wParam);
        ASSERT_TRUE(result.has_value()) << c.name;
        if (c.result) {
            EXPECT_EQ(*result, *c.result) << c.name;
        }
        EXPECT_EQ(launcher.WaitForExit(kWait), 0u) << c.name;
        ASSERT_TRUE(service.WaitForMessages(1, kWait)) << c.name;
        EXPECT_EQ(service.Messages(), std::vector<std::string>{ClosingNotice(launcher.Id())}) << c.name;
    }
}

TEST_F(WindowMessage, StopOrderFromAnotherInstanceEndsTheServerWithoutNotice) {
    FakeServicePipe service;
    ASSERT_TRUE(service.Serving());
    Launcher launcher(folder, RunArgs());
    ASSERT_TRUE(WaitForPipe(pipe, kWait));
    ASSERT_NE(launcher.Window(kWait), nullptr);
    // What a second launcher does to stop the first: the one-shot form of postStatus.
    ProductRun order = RunProduct(
        folder, {L"postStatus", LR"({"wnd":"VarometLauncher Backbone","label":"1049","wparam":"0","lparam":"0"})"});
    EXPECT_EQ(order.exitCode, 0u) << order.output;
    EXPECT_EQ(launcher.WaitForExit(kWait), 0u);
    EXPECT_NE(launcher.Output().find("[WindowProc]WM_STOP_UE recieved ! "), std::string::npos);
    EXPECT_EQ(service.Connections(), 0u);
    EXPECT_TRUE(service.Messages().empty());
}

TEST_F(WindowMessage, MessagesThatAreNotStopOrdersLeaveTheServerServing) {
    FakeServicePipe service;
    ASSERT_TRUE(service.Serving());
    Launcher launcher(folder, RunArgs());
    ASSERT_TRUE(WaitForPipe(pipe, kWait));
    HWND window = launcher.Window(kWait);
    ASSERT_NE(window, nullptr);
    // A quit for the thread while the server runs does not end the message loop: the sent
    // messages after it are handled on the far side of it (sent ones come before posted ones).
    ASSERT_TRUE(::PostThreadMessageW(::GetWindowThreadProcessId(window, nullptr), WM_QUIT, 0, 0));
    // The session goes on after all.
    EXPECT_TRUE(Send(window, WM_ENDSESSION, FALSE).has_value());
    // Any other message goes to the default procedure.
    EXPECT_TRUE(Send(window, WM_USER + 7, 0).has_value());
    Reply reply = Exchange(pipe, R"({"op":"nosuchop","args":null})");
    EXPECT_EQ(reply.text, ReplyText(17));
    EXPECT_FALSE(launcher.WaitForExit(0).has_value());
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    ASSERT_EQ(client.Write("STOP"), 0u);
    EXPECT_EQ(launcher.WaitForExit(kWait), 0u);
    const std::string output = launcher.Output();
    EXPECT_NE(output.find("[WindowProc]WM_ENDSESSION recieved ! "), std::string::npos);
    EXPECT_EQ(output.find("[WindowProc]WM_DESTROY recieved ! "), std::string::npos);
    EXPECT_TRUE(service.Messages().empty());
}

TEST_F(WindowMessage, EndOfSessionIsNeverVetoedEvenWhenTheNoticeFails) {
    struct Case {
        const char* name;
        UINT message;
        LRESULT result;
    };
    // WM_CLOSE reports the failed notice; WM_QUERYENDSESSION still lets the session end.
    const Case cases[] = {{"WM_QUERYENDSESSION", WM_QUERYENDSESSION, TRUE}, {"WM_CLOSE", WM_CLOSE, 0}};
    for (const Case& c : cases) {
        FakeServicePipe service(FakeServicePipe::Mode::Reject);
        ASSERT_TRUE(service.Serving());
        Launcher launcher(folder, RunArgs());
        ASSERT_TRUE(WaitForPipe(pipe, kWait));
        HWND window = launcher.Window(kWait);
        ASSERT_NE(window, nullptr);
        std::optional<LRESULT> result = Send(window, c.message, 0);
        EXPECT_EQ(launcher.WaitForExit(kWait), 0u) << c.name;
        const std::string output = launcher.Output();
        if (output.find("[Backbone::Stop] fail to write into named pipe this content : ") == std::string::npos)
            GTEST_SKIP() << "the service's disconnection came after the notice was written; no write failure";
        EXPECT_EQ(result, c.result) << c.name;
    }
}

TEST_F(WindowMessage, WatchdogStopsTheServerAndTellsTheService) {
    FakeServicePipe service;
    ASSERT_TRUE(service.Serving());
    Launcher launcher(folder, RunArgs(), {{L"WEX_TRQ_UUID", L"1"}, {L"LAUNCHER_SETUPTRQ_TIMER", L"1"}});
    EXPECT_EQ(launcher.WaitForExit(kWait), 0u);
    ASSERT_TRUE(service.WaitForMessages(1, kWait));
    EXPECT_EQ(service.Messages(), std::vector<std::string>{ClosingNotice(launcher.Id())});
    const std::string output = launcher.Output();
    EXPECT_NE(output.find("[wWinMain]EnrageTimer set to 1 s"), std::string::npos);
    EXPECT_NE(output.find("[wWinMain]The boss has enrage ! WIPE !"), std::string::npos);
}

TEST_F(WindowMessage, StalledServiceCannotHoldTheLauncher) {
    // The service takes the connection and never reads: the notice's write would wait for ever.
    FakeServicePipe service(FakeServicePipe::Mode::Stall);
    ASSERT_TRUE(service.Serving());
    Launcher launcher(folder, RunArgs());
    ASSERT_TRUE(WaitForPipe(pipe, kWait));
    HWND window = launcher.Window(kWait);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Send(window, WM_CLOSE, 0), 0) << "the notice was not written";
    EXPECT_EQ(launcher.WaitForExit(kWait), 0u);
    EXPECT_NE(launcher.Output().find("[Backbone::Stop] fail to write into named pipe this content : "),
              std::string::npos);
}

TEST_F(WindowMessage, ClientConnectedBeforeTheStopIsStillAnswered) {
    FakeServicePipe service;
    ASSERT_TRUE(service.Serving());
    Launcher launcher(folder, RunArgs());
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    HWND window = launcher.Window(kWait);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Send(window, WM_CLOSE, 0), 1);
    // The server has ended; the process waits for the client thread.
    EXPECT_FALSE(launcher.WaitForExit(500).has_value());
    ASSERT_EQ(client.Write(R"({"op":"nosuchop","args":null})"), 0u);
    std::string reply;
    EXPECT_EQ(client.Read(reply), 0u);
    EXPECT_EQ(reply, ReplyText(17));
    client.Close();
    EXPECT_EQ(launcher.WaitForExit(kWait), 0u);
    // The connected client leaves no instance free: the stop must not wait for one before it
    // turns to the service.
    const std::optional<std::int64_t> waking =
        LoggedMilliseconds(launcher.Output(), "[WindowProc]WM_CLOSE recieved ! ",
                           "[Backbone::Stop]Retrieveing the Service Named pipe handle ...");
    ASSERT_TRUE(waking.has_value()) << launcher.Output();
    EXPECT_LT(*waking, kPrompt);
}

}  // namespace
