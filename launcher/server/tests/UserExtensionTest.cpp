// User extensions: started in a job, reached through their pipe, restarted, stopped.

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ExtensionTestSupport.h"
#include "Json.h"
#include "SharedData.h"
#include "UserExtension.h"
#include "ZYNSysKernelHandle.h"

namespace {

using extension_test::ExtensionTest;
using extension_test::ProcessEnds;
using extension_test::SetVariable;
using extension_test::ThisProgram;

class UserExtensions : public ExtensionTest {};

JSON::ValuePtr MkdirRequest(const std::string& path) {
    JSON::Builder builder;
    builder.ParseString(R"({"op": "run", "cinfo": null, "args": {"action": "mkdir", "path": )" + JsonQuoted(path) +
                        "}}");
    return builder.Detach();
}

TEST_F(UserExtensions, ManyThreadsForOneIdStartExactlyOneProcess) {
    constexpr int kThreads = 8;
    std::vector<std::shared_ptr<UserExtension>> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&got, i] { got[i] = SharedData::GetExtension(Request("id-many")); });
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_TRUE(got[i]) << i << "\n" << sink.Dump();
        EXPECT_EQ(got[i], got[0]) << i;
    }
    std::size_t started = 0;
    for (const std::string& line : sink.Lines())
        if (line.rfind("[UserExtension::Start]Successfully Started UserExtension[", 0) == 0) ++started;
    EXPECT_EQ(started, 1u) << sink.Dump();
    const std::vector<std::string> starts = WaitForRecord("start ", 1);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0], "start " + std::to_string(got[0]->ProcessId()));
    EXPECT_TRUE(sink.Has("[SharedData::GetExtension]session already seen, retrieve current UserExtension object."));
    std::uint32_t found = 0;
    EXPECT_TRUE(SharedData::FindSessionId(Request("id-many"), found));
    EXPECT_EQ(found, session);
}

TEST_F(UserExtensions, ExtensionRunsInAKillOnCloseJobAndDroppingTheLastReferenceEndsIt) {
    // It ignores the stop message: only the job can end it.
    SetVariable(L"FAKE_EXT_MODE", L"ignorestop");
    std::shared_ptr<UserExtension> extension = SharedData::GetExtension(Request("id-job"));
    ASSERT_TRUE(extension) << sink.Dump();
    const DWORD pid = extension->ProcessId();
    EXPECT_EQ(extension->PipeName(), PipeNameAt(clock.seconds));
    EXPECT_TRUE(sink.Has("[UserExtension::Start]Successfully Started UserExtension[" + std::to_string(session) + "]"));

    // The registry still holds it: releasing this reference changes nothing.
    extension.reset();
    EXPECT_FALSE(ProcessEnds(pid, 300));
    SharedData::ResetForTests();
    EXPECT_TRUE(ProcessEnds(pid, 5000)) << sink.Dump();
}

TEST_F(UserExtensions, ExitedExtensionIsStartedAgainWithANewPipeName) {
    std::shared_ptr<UserExtension> extension = SharedData::GetExtension(Request("id-restart"));
    ASSERT_TRUE(extension) << sink.Dump();
    const DWORD first = extension->ProcessId();
    EXPECT_EQ(extension->PipeName(), PipeNameAt(clock.seconds));
    // The extension ends on its own.
    PipeClient client;
    ASSERT_EQ(client.Open(Widen(extension->PipeName())), 0u);
    ASSERT_EQ(client.Write("STOP"), 0u);
    client.Close();
    ASSERT_TRUE(ProcessEnds(first, 5000));
    EXPECT_FALSE(extension->IsRunning());
    const std::string id = std::to_string(session);
    EXPECT_TRUE(sink.Has("[UserExtension::IsRunning] UserExtension[" + id + "] exitCode : 0")) << sink.Dump();

    clock.seconds += 1;
    std::shared_ptr<UserExtension> again = SharedData::GetExtension(Request("id-restart"));
    ASSERT_EQ(again, extension);
    EXPECT_NE(again->ProcessId(), first);
    EXPECT_EQ(again->PipeName(), PipeNameAt(clock.seconds));
    JSON::ValuePtr reply;
    ASSERT_TRUE(again->RunOperation(MkdirRequest("C:\\x").get(), reply)) << sink.Dump();
    EXPECT_EQ(reply->Dump(), R"({"rc": 0, "content": true})");
    EXPECT_EQ(RecordWith("start ").size(), 2u);
}

TEST_F(UserExtensions, StandbySessionIsTakenOverByTheNextUnknownId) {
    ASSERT_TRUE(SharedData::GetExtension(Request("re_ZERO_NO_ORDANA_ID"))) << sink.Dump();
    // Without an active session, only the standby entry can tell the session.
    sessions.active = -1;
    std::shared_ptr<UserExtension> extension = SharedData::GetExtension(Request("id-newcomer"));
    ASSERT_TRUE(extension) << sink.Dump();
    EXPECT_EQ(extension->SessionId(), session);
    const std::string id = std::to_string(session);
    EXPECT_TRUE(sink.Has("[SharedData::GetExtension]No session associted to this ordanaID 'id-newcomer' found but "
                         "existing session in standby on [" + id + "] , use it."))
        << sink.Dump();
    EXPECT_TRUE(sink.Has("[SharedData::GetExtension]we have found a resolved sessionID[" + id +
                         "] while no active session is being detected."));
    std::uint32_t found = 0;
    EXPECT_TRUE(SharedData::FindSessionId(Request("id-newcomer"), found));
    EXPECT_EQ(found, session);
    EXPECT_FALSE(SharedData::FindSessionId(Request("re_ZERO_NO_ORDANA_ID"), found));
    // With the standby taken, an unknown id has no session left.
    EXPECT_FALSE(SharedData::GetExtension(Request("id-third")));
    EXPECT_TRUE(sink.Has(
        "[SharedData::GetExtension]{CRITICAL}Cannot found a valid session to start the user's extention."));
}

TEST_F(UserExtensions, RecordedSessionGivesWayToTheActiveOne) {
    ASSERT_TRUE(SharedData::GetExtension(Request("id-moved")));
    const std::uint32_t old = session;
    sessions.active = old + 1;
    std::shared_ptr<UserExtension> extension = SharedData::GetExtension(Request("id-moved"));
    ASSERT_TRUE(extension) << sink.Dump();
    EXPECT_EQ(extension->SessionId(), old + 1);
    EXPECT_TRUE(sink.Has("[SharedData::GetExtension]the resolved sessionID[" + std::to_string(old) +
                         "] does not match the current active one [" + std::to_string(old + 1) + "] !"));
    std::uint32_t found = 0;
    EXPECT_TRUE(SharedData::FindSessionId(Request("id-moved"), found));
    EXPECT_EQ(found, old + 1);
}

TEST_F(UserExtensions, PipeMadeAfterOneAndAHalfSecondsIsStillServed) {
    installedSleeper.Restore();  // the real waits
    SetVariable(L"FAKE_EXT_DELAY_MS", L"1500");
    UserExtension extension(session);
    JSON::ValuePtr reply;
    ASSERT_TRUE(extension.RunOperation(MkdirRequest("C:\\late").get(), reply)) << sink.Dump();
    EXPECT_EQ(reply->Dump(), R"({"rc": 0, "content": true})");
    EXPECT_TRUE(sink.Has("[UserExtension::openPipe]{0}Could not open OUT pipe[" + extension.PipeName() +
                         "] : wait timed out."))
        << sink.Dump();
}

TEST_F(UserExtensions, PipeNeverMadeFailsAfterThreeWaits) {
    sleeper.divisor = 0;
    SetVariable(L"FAKE_EXT_MODE", L"nopipe");
    UserExtension extension(session);
    ASSERT_TRUE(extension.Start());
    const ULONGLONG start = ::GetTickCount64();
    ZYNSysKernelHandle pipe;
    EXPECT_FALSE(extension.openPipe(pipe));
    // Three waits of at most 1000 ms each; the pauses between them were recorded, not slept.
    EXPECT_LT(::GetTickCount64() - start, 4500u);
    EXPECT_FALSE(pipe);
    EXPECT_EQ(sleeper.Asked(), (std::vector<std::uint32_t>{1000, 1000, 1000}));
    for (const char* attempt : {"{0}", "{1}", "{2}"}) {
        EXPECT_TRUE(sink.Has(std::string("[UserExtension::openPipe]") + attempt + "Could not open OUT pipe[" +
                             extension.PipeName() + "] : wait timed out."))
            << attempt;
    }
    JSON::ValuePtr reply;
    EXPECT_FALSE(extension.RunOperation(MkdirRequest("C:\\never").get(), reply));
    EXPECT_TRUE(sink.Has("[UserExtension::RunOperation]Fail to open the output pipe created by the UserExtension's "
                         "sub-process !"));
    // Its stop message cannot be delivered either: the job ends it when it is dropped.
    const DWORD pid = extension.ProcessId();
    EXPECT_FALSE(extension.Kill());
    extension.CloseHandles();
    EXPECT_TRUE(ProcessEnds(pid, 5000));
}

// A server that took the extension's predictable pipe name first.
class Squatter {
public:
    explicit Squatter(const std::wstring& name)
        : pipe_(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0,
                                   nullptr)),
          event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        overlapped_.hEvent = event_.Get();
        if (pipe_) ::ConnectNamedPipe(pipe_.Get(), &overlapped_);
    }
    bool Listening() const { return static_cast<bool>(pipe_); }
    // Bytes a client left in the pipe.
    DWORD BytesReceived() {
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe_.Get(), nullptr, 0, nullptr, &available, nullptr)) return 0;
        return available;
    }

private:
    ZYNSysKernelHandle pipe_;
    ZYNSysKernelHandle event_;
    OVERLAPPED overlapped_{};
};

TEST_F(UserExtensions, SquattedPipeNameIsRefusedAndGetsNothing) {
    SetVariable(L"FAKE_EXT_MODE", L"nopipe");
    Squatter squatter(Widen(PipeNameAt(clock.seconds)));
    ASSERT_TRUE(squatter.Listening());
    UserExtension extension(session);
    JSON::ValuePtr reply;
    EXPECT_FALSE(extension.RunOperation(MkdirRequest("C:\\squat").get(), reply));
    EXPECT_EQ(extension.PipeName(), PipeNameAt(clock.seconds));
    EXPECT_TRUE(sink.Has("[UserExtension::openPipe]pipe[" + extension.PipeName() + "] is served by process " +
                         std::to_string(::GetCurrentProcessId()) + " instead of the UserExtension's process " +
                         std::to_string(extension.ProcessId()) + " : refused."))
        << sink.Dump();
    EXPECT_EQ(squatter.BytesReceived(), 0u);
    extension.CloseHandles();
}

TEST_F(UserExtensions, KillInTestModeWritesStopAndDoesNotWait) {
    // An extension that reads the stop and stays: Kill must not wait for it to go.
    SetVariable(L"FAKE_EXT_MODE", L"ignorestop");
    UserExtension extension(session);
    ASSERT_TRUE(extension.Start());
    const DWORD pid = extension.ProcessId();
    ASSERT_TRUE(extension.Kill()) << sink.Dump();
    EXPECT_FALSE(extension.IsRunning());
    EXPECT_EQ(WaitForRecord("STOP", 1).size(), 1u);
    EXPECT_FALSE(ProcessEnds(pid, 0));
    // Nothing left to stop.
    EXPECT_TRUE(extension.Kill());
    EXPECT_EQ(RecordWith("STOP").size(), 1u);
    // The job ends it with the handles.
    extension.CloseHandles();
    EXPECT_TRUE(ProcessEnds(pid, 5000));
}

TEST_F(UserExtensions, DebugPauseTakesOnlyPositiveDecimals) {
    struct Case {
        const wchar_t* value;
        bool pauses;
        std::uint32_t milliseconds;
    } cases[] = {
        {L"250", true, 250},   {L"  40ms", true, 40},  {L"+7", true, 7},         {L"0", false, 0},
        {L"-20", false, 0},    {L"abc", false, 0},     {L"99999999999", false, 0}, {L"2147483648", false, 0},
    };
    sleeper.divisor = 0;
    for (const Case& c : cases) {
        SetVariable(L"ZYNLD_DEBUG", c.value);
        sleeper.Clear();
        UserExtension extension(session);
        ASSERT_TRUE(extension.Start()) << Narrow(c.value);
        const std::vector<std::uint32_t> asked = sleeper.Asked();
        if (c.pauses) {
            EXPECT_EQ(asked, std::vector<std::uint32_t>{c.milliseconds}) << Narrow(c.value);
            bool queued = false;
            EXPECT_TRUE(sink.Has("[UserExtension::Start]Sleeping for " + Narrow(c.value) + " ms", &queued))
                << Narrow(c.value);
            EXPECT_TRUE(queued);
        } else {
            EXPECT_TRUE(asked.empty()) << Narrow(c.value);
        }
        extension.CloseHandles();
        clock.seconds += 1;
    }
    SetVariable(L"ZYNLD_DEBUG", L"");
}


// Inside a job that lets nothing break away the extension cannot get a job of its own: it is
// refused a start rather than left running in the launcher's job.
VAROMET_CHILD_CASE(ExtensionInsideALockedJob) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    extension_test::TestSessions sessions;
    sessions.active = 100000 + ::GetCurrentProcessId();
    ScopedSessionEnumerator installedSessions(sessions);
    Config::Init("no-launcher.conf");
    Config::ActivateOption(65);
    ToolBox::SetEnv("TRQ_LAUNCHER_GUIEXE_PATH", Narrow(BuiltProgram(VAROMET_FAKE_EXTENSION_EXE)));
    ZYNSysKernelHandle outer(::CreateJobObjectW(nullptr, nullptr));
    if (!outer || !::AssignProcessToJobObject(outer.Get(), ::GetCurrentProcess())) return 90;
    UserExtension extension(sessions.active);
    const bool started = extension.Start();
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!::QueryInformationJobObject(outer.Get(), JobObjectBasicAccountingInformation, &accounting, sizeof accounting,
                                     nullptr))
        return 91;
    installedSink.Restore();
    std::printf("started=%d total=%lu active=%lu\n%s", started ? 1 : 0, accounting.TotalProcesses,
                accounting.ActiveProcesses, sink.Dump().c_str());
    std::fflush(stdout);
    return 0;
}

TEST(UserExtensionJob, ExtensionThatCannotLeaveALockedJobIsNeverLeftRunning) {
    ChildProcess::Result run = ChildProcess::Run("ExtensionInsideALockedJob");
    ASSERT_TRUE(run.started) << run.output;
    std::erase(run.output, '\r');
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    // Only the test program itself was ever in the job.
    EXPECT_EQ(run.output.rfind("started=0 total=1 active=1\n", 0), 0u) << run.output;
    EXPECT_NE(run.output.find("[UserExtension::Start] CreateProcessAsUserW failed !\n"), std::string::npos);
}


// Normal mode: the extension is this folder's "VarometLauncherGUI.exe" (a copy of the fake),
// in a session other than the active one: the next one, or the one VAROMET_TEST_SESSION names.
VAROMET_CHILD_CASE(KillInNormalMode) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    extension_test::TestSessions sessions;
    sessions.active = 100000 + ::GetCurrentProcessId();
    ScopedSessionEnumerator installedSessions(sessions);
    Config::Init("no-launcher.conf");
    // The relay's program ends at once; an extension without a window never does.
    UserExtension::SetStopWait(2000);
    wchar_t named[16] = {};
    const bool given = ::GetEnvironmentVariableW(L"VAROMET_TEST_SESSION", named, 16) != 0;
    UserExtension extension(given ? static_cast<std::uint32_t>(std::wcstoul(named, nullptr, 10))
                                  : static_cast<std::uint32_t>(sessions.active + 1));
    if (!extension.Start()) return 20;
    const DWORD pid = extension.ProcessId();
    if (::GetEnvironmentVariableW(L"FAKE_EXT_WINDOW", nullptr, 0) != 0) {
        for (int i = 0; i < 250 && !::FindWindowW(L"VarometLauncher Backbone", nullptr); ++i) ::Sleep(20);
    }
    auto activeLookups = [&sink] {
        std::size_t count = 0;
        for (const std::string& line : sink.Lines())
            if (line.rfind("[ToolBox::GetActiveSessionId] session object total count", 0) == 0) ++count;
        return count;
    };
    const std::size_t before = activeLookups();
    const bool killed = extension.Kill();
    const bool ended = ProcessEnds(pid, 5000);
    const bool askedActive = activeLookups() != before;
    installedSink.Restore();
    std::printf("killed=%d ended=%d askedActive=%d\n%s", killed ? 1 : 0, ended ? 1 : 0, askedActive ? 1 : 0,
                sink.Dump().c_str());
    std::fflush(stdout);
    return 0;
}

TEST(UserExtensionNormalMode, KillRelaysTheStopInTheExtensionsSessionThenFallsBackToTheJob) {
    const std::string relay = "postStatus {\"wnd\": \"VarometLauncher Backbone\", \"label\": \"1049\", \"lparam\": "
                              "\"0\", \"wparam\": \"0\"}\n";
    struct Case {
        const char* name;
        const wchar_t* session;  // null: the session after the active one
        bool window;             // whether the extension has a window that takes the stop message
        bool relayed;            // whether the stop was relayed through the launcher's postStatus
        std::vector<std::string> lines;
        const char* absent;
    } cases[] = {
        {"stopped by its window",
         nullptr,
         true,
         true,
         {"[UserExtension::Stop]Successfully Stopped UserExtension["},
         "[UserExtension::Kill] use TerminateJobObject to kill sub-process"},
        {"ended through its job",
         nullptr,
         false,
         true,
         {"] sub-process join operation has timed out.", "[UserExtension::Kill] use TerminateJobObject to kill sub-process",
          "[UserExtension::Stop]Successfully Stopped UserExtension["},
         "<nothing>"},
        // A relay there would reach the active session, which may be another user's.
        {"session 0, no relay",
         L"0",
         true,
         false,
         {"[UserExtension::Stop]Fail to launch process to stop User Extension with this command-line: ",
          "[UserExtension::Kill] use TerminateJobObject to kill sub-process",
          "[UserExtension::Stop]Successfully Stopped UserExtension[0]"},
         "] sub-process join operation"},
        {"session above 2^31-1, no relay",
         L"2147483648",
         true,
         false,
         {"[UserExtension::Stop]Fail to launch process to stop User Extension with this command-line: ",
          "[UserExtension::Kill] use TerminateJobObject to kill sub-process",
          "[UserExtension::Stop]Successfully Stopped UserExtension[2147483648]"},
         "] sub-process join operation"},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        // A blank in the path: the relay's program must be quoted.
        const std::wstring bin = folder.In(L"with blank");
        ASSERT_TRUE(::CreateDirectoryW(bin.c_str(), nullptr));
        const std::wstring program = bin + L"\\server_extension_tests.exe";
        ASSERT_TRUE(::CopyFileW(ThisProgram().c_str(), program.c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(BuiltProgram(VAROMET_FAKE_EXTENSION_EXE).c_str(),
                                (bin + L"\\VarometLauncherGUI.exe").c_str(), FALSE));
        const std::wstring record = folder.In(L"record.txt");
        EnvList env{{L"FAKE_EXT_RECORD", record}};
        if (c.window) env.emplace_back(L"FAKE_EXT_WINDOW", L"1");
        if (c.session) env.emplace_back(L"VAROMET_TEST_SESSION", c.session);
        Launcher run(folder, {L"--child-case=KillInNormalMode"}, env, program);
        ASSERT_TRUE(run.Started()) << c.name;
        const std::optional<DWORD> exitCode = run.WaitForExit(20000);
        std::string output = run.Output();
        ASSERT_EQ(exitCode, std::optional<DWORD>(0)) << c.name << "\n" << output;
        EXPECT_EQ(output.rfind("killed=1 ended=1 askedActive=0\n", 0), 0u) << c.name << "\n" << output;
        for (const std::string& line : c.lines) EXPECT_NE(output.find(line), std::string::npos) << c.name << line;
        EXPECT_EQ(output.find(c.absent), std::string::npos) << c.name;
        std::ifstream in(std::filesystem::path(record), std::ios::binary);
        std::string recorded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(recorded.find(relay) != std::string::npos, c.relayed) << c.name << "\n" << recorded;
        EXPECT_EQ(recorded.find("window stop") != std::string::npos, c.window && c.relayed) << c.name << "\n"
                                                                                           << recorded;
    }
}

}  // namespace
