// The tray link: messages to the fake tray program (copied as the real tray's name into a
// repository folder), relays through the product, the tray's start and the spinner's job.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Config.h"
#include "DaemonVersion.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"
#include "OrdanaRequestInfo.h"
#include "PathName.h"
#include "SessionEnumerator.h"
#include "SharedData.h"
#include "SystrayComs.h"
#include "SystrayOperation.h"
#include "ToolBox.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysWin.h"

namespace {

constexpr wchar_t kTrayClass[] = L"QXLauncherTray";
constexpr wchar_t kSpinnerClass[] = L"QXLauncherSpinner";
constexpr char kRefused[] =
    "}update progress ignored due to :the progress is not started//progress regression//invalid progress";
constexpr char kRepositoryVariable[] = "VAROMET_TEST_TRAY_REPO";

// One active session (7, or the id given), or none.
class OneSession final : public SessionEnumerator {
public:
    explicit OneSession(bool any, std::uint32_t id = 7) : any_(any), id_(id) {}
    bool Enumerate(std::vector<SessionInfo>& sessions) override {
        if (any_) sessions.push_back(SessionInfo{id_.load(), 0, "Console", true});
        return true;
    }
    void SetId(std::uint32_t id) { id_ = id; }

private:
    bool any_;
    std::atomic<std::uint32_t> id_;
};

// Installed for one test; what was installed before comes back at the end.
class SessionScope {
public:
    explicit SessionScope(bool any) : sessions_(any) {}

private:
    OneSession sessions_;
    ScopedSessionEnumerator installed_{sessions_};
};

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path), std::ios::binary};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The lines once count of them arrived, or what there is after the wait.
std::vector<std::string> WaitForLines(const std::wstring& path, std::size_t count, DWORD milliseconds = 10000) {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    for (;;) {
        std::vector<std::string> lines = ReadLines(path);
        if (lines.size() >= count || ::GetTickCount64() >= deadline) return lines;
        ::Sleep(20);
    }
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
}

HWND WaitForWindow(const wchar_t* className, DWORD milliseconds = 10000) {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    for (;;) {
        if (HWND window = ::FindWindowW(className, nullptr)) return window;
        if (::GetTickCount64() >= deadline) return nullptr;
        ::Sleep(20);
    }
}

// The process that owns the first window of the class, opened to wait for it.
ZYNSysKernelHandle WindowProcess(const wchar_t* className) {
    HWND window = WaitForWindow(className);
    DWORD id = 0;
    if (window) ::GetWindowThreadProcessId(window, &id);
    return ZYNSysKernelHandle(id ? ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE,
                                                 FALSE, id)
                                 : nullptr);
}

bool Ends(const ZYNSysKernelHandle& process, DWORD milliseconds = 10000) {
    return process && ::WaitForSingleObject(process.Get(), milliseconds) == WAIT_OBJECT_0;
}

// A folder whose name holds a blank, with the fake tray under the real tray's name.
std::wstring MakeRepository(const TestFolder& folder, const wchar_t* name = L"tray repo") {
    const std::wstring repository = folder.In(name);
    EXPECT_TRUE(::CreateDirectoryW(repository.c_str(), nullptr));
    EXPECT_TRUE(::CopyFileW(BuiltProgram(VAROMET_FAKE_TRAY_EXE).c_str(),
                            (repository + L"\\VarometLauncherSysTray.exe").c_str(), TRUE));
    return repository;
}

// A fake tray the test started itself; ended at the end of the test if it still runs.
class RunningTray {
public:
    explicit RunningTray(const std::wstring& repository) {
        std::wstring line = L"\"" + repository + L"\\VarometLauncherSysTray.exe\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, repository.c_str(), &startup,
                              &info)) {
            ADD_FAILURE() << "cannot start the fake tray: error " << ::GetLastError();
            return;
        }
        process_.Reset(info.hProcess);
        ZYNSysKernelHandle thread(info.hThread);
        EXPECT_NE(WaitForWindow(kTrayClass), nullptr) << "the fake tray made no window";
    }
    ~RunningTray() {
        if (process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(process_.Get(), 99);
            ::WaitForSingleObject(process_.Get(), 10000);
        }
    }
    RunningTray(const RunningTray&) = delete;
    RunningTray& operator=(const RunningTray&) = delete;

    const ZYNSysKernelHandle& Process() const { return process_; }

private:
    ZYNSysKernelHandle process_;
};

// A child case of this program, told the repository through the environment; its output
// without carriage returns.
ChildProcess::Result RunInRepository(const char* name, const std::wstring& repository) {
    ::SetEnvironmentVariableW(Widen(kRepositoryVariable).c_str(), repository.c_str());
    ChildProcess::Result run = ChildProcess::Run(name);
    ::SetEnvironmentVariableW(Widen(kRepositoryVariable).c_str(), nullptr);
    std::erase(run.output, '\r');
    return run;
}

class TrayLink : public ::testing::Test {
protected:
    RecordingSink sink;
    ScopedLogSink installedSink{sink};
    TestFolder folder;
};

// ---- paths ----

TEST_F(TrayLink, PathsNameBothProgramsInTheRepository) {
    const std::string exeFolder = ToolBox::GetExecutableFolder().GetText();
    struct Case {
        const char* repository;
        std::string folder;
    } cases[] = {
        {nullptr, exeFolder},
        {"C:\\Program Files\\Varomet", "C:\\Program Files\\Varomet"},
    };
    for (const Case& c : cases) {
        SystrayComs coms(nullptr, 'l', c.repository);
        EXPECT_EQ(coms.GetGuiExePath(), c.folder + "\\VarometLauncherGUI.exe");
        EXPECT_EQ(coms.GetSystrayExePath(), c.folder + "\\VarometLauncherSysTray.exe");
    }
    SystrayComs coms(nullptr, 'l', nullptr);
    coms.SetExecutableRepository("D:\\other");
    EXPECT_EQ(coms.GetSystrayExePath(), "D:\\other\\VarometLauncherSysTray.exe");
    EXPECT_TRUE(sink.Has("[SystrayComs::SetExecutableRepository] set repository : D:\\other"));
}

// ---- progress ----

TEST_F(TrayLink, ProgressRefusesRegressionAndEndsWith101) {
    const std::wstring repository = MakeRepository(folder);
    RunningTray tray(repository);
    SystrayComs coms(nullptr, 'l', Narrow(repository).c_str());
    Progress progress(coms, true);
    ASSERT_TRUE(progress.IsStarted()) << sink.Dump();
    struct Case {
        std::uint32_t value;
        bool accepted;
        const char* refusal;  // the start of the refusal line
    } cases[] = {
        {30, true, nullptr},
        {20, false, "[Progress::Update]<true>{30>20"},
        {30, true, nullptr},
        {101, false, "[Progress::Update]<true>{30>101"},
        {static_cast<std::uint32_t>(-1), false, "[Progress::Update]<true>{30>4294967295"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(progress.Update(c.value), c.accepted) << c.value << "\n" << sink.Dump();
        if (c.refusal) {
            EXPECT_TRUE(sink.Has(c.refusal + std::string(kRefused))) << c.value << "\n" << sink.Dump();
        }
    }
    EXPECT_TRUE(sink.Has("[Progress::Update]update progress to [30] was [0]."));
    EXPECT_TRUE(sink.Has("[Progress::Update]update progress to [30] was [30]."));
    progress.Stop();
    EXPECT_FALSE(progress.IsStarted());
    EXPECT_EQ(progress.Value(), 101);
    EXPECT_TRUE(sink.Has("[SystrayOperation::Start]start operation : PROGRESS"));
    EXPECT_TRUE(sink.Has("[SystrayOperation::Stop]stop operation : PROGRESS"));
    EXPECT_EQ(Joined(WaitForLines(repository + L"\\tray-messages.txt", 4)),
              "1034 0 0\n1034 0 30\n1034 0 30\n1034 0 101\n");
}

TEST_F(TrayLink, ProgressDestroyedWhileStartedPosts101) {
    const std::wstring repository = MakeRepository(folder);
    RunningTray tray(repository);
    SystrayComs coms(nullptr, 'l', Narrow(repository).c_str());
    {
        Progress progress(coms, true);
        EXPECT_TRUE(progress.Update(55));
    }
    {
        // Never started: refused, and its destruction posts nothing.
        Progress idle(coms, false);
        EXPECT_FALSE(idle.Update(10));
        EXPECT_TRUE(sink.Has("[Progress::Update]<false>{0>10" + std::string(kRefused))) << sink.Dump();
    }
    {
        // Started again after its stop: it counts from zero, not from 101.
        Progress again(coms, true);
        again.Stop();
        ASSERT_TRUE(again.Start());
        EXPECT_TRUE(again.Update(12));
    }
    EXPECT_TRUE(coms.post(0x40A, 0, 77, "QXLauncherTray"));
    EXPECT_EQ(Joined(WaitForLines(repository + L"\\tray-messages.txt", 9)),
              "1034 0 0\n1034 0 55\n1034 0 101\n1034 0 0\n1034 0 101\n1034 0 0\n1034 0 12\n1034 0 101\n"
              "1034 0 77\n");
}

TEST_F(TrayLink, ProgressWithoutTrayWindowIsNotStarted) {
    SystrayComs coms(nullptr, 'l', Narrow(folder.Path()).c_str());
    Progress progress(coms, true);
    EXPECT_FALSE(progress.IsStarted());
    EXPECT_TRUE(
        sink.Has("[Operations::Local::PostMessageToWindow]Fail to find window  with this name : QXLauncherTray"))
        << sink.Dump();
}

// ---- modes ----

TEST_F(TrayLink, UnknownModePostsNothing) {
    const std::wstring repository = MakeRepository(folder);
    RunningTray tray(repository);
    for (char mode : {'x', 'L', 'P', '0'}) {
        SystrayComs coms(nullptr, mode, Narrow(repository).c_str());
        EXPECT_FALSE(coms.post(0x40A, 0, 12, "QXLauncherTray")) << mode;
        EXPECT_FALSE(coms.LaunchingApplication(0, 0)) << mode;
        EXPECT_TRUE(sink.Has(std::string("[SystrayComs::post]Unknown mode : ") + mode)) << mode;
    }
    // A marker posted last: the tray got nothing before it.
    SystrayComs local(nullptr, 'l', Narrow(repository).c_str());
    EXPECT_TRUE(local.post(0x40A, 0, 99, "QXLauncherTray"));
    EXPECT_EQ(Joined(WaitForLines(repository + L"\\tray-messages.txt", 1)), "1034 0 99\n");
    EXPECT_TRUE(sink.Has("[SystrayComs::post]{local}1034/0/99"));
}

TEST_F(TrayLink, LaunchingApplicationThenShutdownClosesTheTray) {
    const std::wstring repository = MakeRepository(folder);
    RunningTray tray(repository);
    SystrayComs coms(nullptr, 'l', Narrow(repository).c_str());
    EXPECT_TRUE(coms.LaunchingApplication(3, 1603));
    EXPECT_TRUE(coms.ShutdownSystray());
    EXPECT_TRUE(Ends(tray.Process())) << "the tray is still running";
    EXPECT_EQ(Joined(ReadLines(repository + L"\\tray-messages.txt")), "1037 3 1603\n16 0 0\n");
    EXPECT_TRUE(sink.Has("[SystrayComs::LaunchingApplication]post Updating message"));
    EXPECT_TRUE(sink.Has("[SystrayComs::ShutdownSystray]try to stop the Systray"));
    // No window left: the next post fails.
    EXPECT_FALSE(coms.ShutdownSystray());
}

TEST_F(TrayLink, IndirectModeWithoutRequestPostsNothing) {
    SystrayComs coms(nullptr, 'i', nullptr);
    EXPECT_FALSE(coms.post(0x40A, 0, 5, "QXLauncherTray"));
    EXPECT_TRUE(sink.Has("[SystrayComs::post]{indirect}no request context, nothing posted : 1034/0/5")) << sink.Dump();
}

// The relay runs the product in a folder of its own whose name holds a blank: it needs
// nothing beside it. Its data and logs go to the test folder.
class PlainRelay : public TrayLink {
protected:
    void SetUp() override {
        TrayLink::SetUp();
        ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", folder.Path().c_str());
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", nullptr);
        TrayLink::TearDown();
    }
    std::wstring GuiRepository(const char* program) {
        const std::wstring repository = folder.In(L"gui repo");
        ::CreateDirectoryW(repository.c_str(), nullptr);
        if (program) {
            EXPECT_TRUE(::CopyFileW(BuiltProgram(program).c_str(), (repository + L"\\VarometLauncherGUI.exe").c_str(),
                                    FALSE));
        }
        return repository;
    }
    SessionScope sessions{true};
};

TEST_F(PlainRelay, RelayTextSurvivesTheArgumentSplittingOfTheProduct) {
    const std::wstring trayRepository = MakeRepository(folder);
    RunningTray tray(trayRepository);
    const std::string gui = Narrow(GuiRepository(VAROMET_PRODUCT_EXE));
    SystrayComs coms(nullptr, 'p', gui.c_str());
    ASSERT_TRUE(coms.post(0x40A, 18446744073709551615ull, -7, "QXLauncherTray")) << sink.Dump();
    EXPECT_TRUE(coms.LaunchingApplication(2, 0)) << sink.Dump();
    EXPECT_EQ(Joined(WaitForLines(trayRepository + L"\\tray-messages.txt", 2)),
              "1034 18446744073709551615 -7\n1037 2 0\n");
    EXPECT_TRUE(sink.Has("[SystrayComs::post]{plain}1034/18446744073709551615/-7"));
    // The whole relay text is one quoted argument: its blanks would split it otherwise.
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd]Try to launch command : [\"" + gui +
                         "\\VarometLauncherGUI.exe\" postStatus \"{\\\"wnd\\\": \\\"QXLauncherTray\\\", "
                         "\\\"label\\\": \\\"1034\\\", \\\"lparam\\\": \\\"-7\\\", \\\"wparam\\\": "
                         "\\\"18446744073709551615\\\"}\"]"))
        << sink.Dump();
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd] CreateProcessAsUserW successed !"));
}

TEST_F(PlainRelay, FailsWhenTheGuiProgramFailsOrIsMissing) {
    struct Case {
        const char* name;
        const char* program;  // copied as the GUI program; null: none
        const char* logged;
    } cases[] = {
        // The helper knows no "postStatus" and exits 66.
        {"exit code not 0", VAROMET_EXEC_HELPER_EXE,
         "[Operations::Local::ExecuteCmd] launch command successed ! (rc:66)"},
        {"missing program", nullptr, "[Operations::Local::ExecuteCmd] CreateProcessAsUserW failed !"},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::wstring repository = folder.In(L"gui repo " + std::to_wstring(++index));
        ::CreateDirectoryW(repository.c_str(), nullptr);
        if (c.program)
            ::CopyFileW(BuiltProgram(c.program).c_str(), (repository + L"\\VarometLauncherGUI.exe").c_str(), FALSE);
        SystrayComs coms(nullptr, 'p', Narrow(repository).c_str());
        EXPECT_FALSE(coms.post(0x40A, 0, 1, "QXLauncherTray")) << c.name;
        EXPECT_TRUE(sink.Has(c.logged)) << c.name << "\n" << sink.Dump();
        EXPECT_TRUE(sink.Has("[Backbone::Process] Fail to run command to post msg session.")) << c.name;
    }
}

// Test mode: the GUI program runs as this process, not as the session user.
VAROMET_CHILD_CASE(PlainRelayInTestMode) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    Config::Init("");
    Config::ActivateOption(65);
    std::string repository;
    if (!ToolBox::GetEnv(kRepositoryVariable, repository)) return 90;
    SystrayComs coms(nullptr, 'p', repository.c_str());
    const bool posted = coms.post(0x40D, 1, 0, "QXLauncherTray");
    installedSink.Restore();
    std::printf("%sposted %d\n", sink.Dump().c_str(), posted);
    std::fflush(stdout);
    return 0;
}

TEST_F(PlainRelay, InTestModeTheGuiProgramRunsAsThisProcess) {
    const std::wstring trayRepository = MakeRepository(folder);
    RunningTray tray(trayRepository);
    const std::wstring gui = GuiRepository(VAROMET_PRODUCT_EXE);
    ChildProcess::Result run = RunInRepository("PlainRelayInTestMode", gui);
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("posted 1\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("[Operations::Local::ExecuteCmd] CreateProcessW successed !\n"), std::string::npos)
        << run.output;
    EXPECT_EQ(Joined(WaitForLines(trayRepository + L"\\tray-messages.txt", 1)), "1037 1 0\n");
}

// ---- the tray's start ----

TEST_F(TrayLink, StartSystrayStartsTheTrayAsTheSessionUser) {
    SessionScope sessions(true);
    const std::wstring repository = MakeRepository(folder);
    SystrayComs coms(nullptr, 'l', Narrow(repository).c_str());
    ASSERT_TRUE(coms.StartSystray()) << sink.Dump();
    ZYNSysKernelHandle tray = WindowProcess(kTrayClass);
    ASSERT_TRUE(tray) << "no tray window\n" << sink.Dump();
    EXPECT_TRUE(sink.Has("[SystrayComs::StartSystray]use systray exe path : " + coms.GetSystrayExePath()));
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd] CreateProcessAsUserW successed !"));
    EXPECT_TRUE(coms.ShutdownSystray());
    EXPECT_TRUE(Ends(tray));
}

TEST_F(TrayLink, StartSystrayReportsAMissingProgramOrNoSession) {
    const std::wstring repository = MakeRepository(folder);
    const std::string empty = Narrow(folder.In(L"empty"));
    struct Case {
        const char* name;
        std::string repository;
        bool anySession;
        std::string logged;
    } cases[] = {
        {"missing program", empty, true,
         "[SystrayComs::StartSystray]the systray executable does not exist here : " + empty +
             "\\VarometLauncherSysTray.exe"},
        {"no session", Narrow(repository), false,
         "[SystrayComs::StartSystray]Fail to execute AsUser the systray ! (auRc:0//rc:-1)"},
    };
    for (const Case& c : cases) {
        SessionScope sessions(c.anySession);
        SystrayComs coms(nullptr, 'l', c.repository.c_str());
        EXPECT_FALSE(coms.StartSystray()) << c.name;
        EXPECT_TRUE(sink.Has(c.logged)) << c.name << "\n" << sink.Dump();
    }
    EXPECT_TRUE(ProcessesOf(repository + L"\\VarometLauncherSysTray.exe").empty());
}

// Test mode: the tray is never started.
VAROMET_CHILD_CASE(StartSystrayInTestMode) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    Config::Init("");
    Config::ActivateOption(65);
    std::string repository;
    if (!ToolBox::GetEnv(kRepositoryVariable, repository)) return 90;
    SystrayComs coms(nullptr, 'l', repository.c_str());
    const bool started = coms.StartSystray();
    // A process exists once its creation returns: no wait for a window needed.
    const std::size_t running = ProcessesOf(Widen(repository) + L"\\VarometLauncherSysTray.exe").size();
    installedSink.Restore();
    std::printf("%sstarted %d local %d running %zu\n", sink.Dump().c_str(), started, SystrayComs::LocalMode(), running);
    std::fflush(stdout);
    return 0;
}

TEST_F(TrayLink, StartSystrayInTestModeReturnsTrueAndDoesNothing) {
    const std::wstring repository = MakeRepository(folder);
    ChildProcess::Result run = RunInRepository("StartSystrayInTestMode", repository);
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("started 1 local 1 running 0\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("[SystrayComs::StartSystray]"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("[Operations::Local::ExecuteCmd]"), std::string::npos) << run.output;
}

// ---- the spinner ----

struct SpinnerRun {
    bool started = false;
    bool startedAfterStop = true;
    bool ended = false;
    bool wasInJob = false;
};

// Starts a spinner, checks that it runs in a job, stops it (or destroys it) and waits for
// its process to end.
SpinnerRun RunSpinner(const std::string& repository, bool stopByDestruction,
                      const OrdanaRequestInfo* request = nullptr) {
    SpinnerRun result;
    SystrayComs coms(request, 'l', repository.c_str());
    ZYNSysKernelHandle process;
    {
        Spinner spinner(coms, true);
        result.started = spinner.IsStarted();
        if (!result.started) return result;
        process = WindowProcess(kSpinnerClass);
        BOOL inJob = FALSE;
        result.wasInJob = process && ::IsProcessInJob(process.Get(), nullptr, &inJob) && inJob;
        if (!stopByDestruction) {
            spinner.Stop();
            result.startedAfterStop = spinner.IsStarted();
        }
    }
    result.ended = Ends(process);
    if (!result.ended && process) ::TerminateProcess(process.Get(), 99);
    return result;
}

// Test mode: started with CreateProcessW; a spinner that ignores WM_CLOSE still ends.
VAROMET_CHILD_CASE(SpinnerInTestMode) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    Config::Init("");
    Config::ActivateOption(65);
    OneSession sessions(true);
    ScopedSessionEnumerator installedSessions(sessions);
    std::string repository;
    if (!ToolBox::GetEnv(kRepositoryVariable, repository)) return 90;
    const SpinnerRun stopped = RunSpinner(repository, false);
    const SpinnerRun destroyed = RunSpinner(repository, true);
    installedSink.Restore();
    std::printf("%s", sink.Dump().c_str());
    std::printf("stopped: %d %d %d %d\n", stopped.started, stopped.wasInJob, stopped.startedAfterStop, stopped.ended);
    std::printf("destroyed: %d %d %d\n", destroyed.started, destroyed.wasInJob, destroyed.ended);
    std::fflush(stdout);
    return 0;
}

TEST_F(TrayLink, SpinnerInTestModeEndsEvenWhenItIgnoresClose) {
    const std::wstring repository = MakeRepository(folder);
    std::ofstream(std::filesystem::path(repository + L"\\ignore-close")) << "1";
    ChildProcess::Result run = RunInRepository("SpinnerInTestMode", repository);
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("stopped: 1 1 0 1\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("destroyed: 1 1 1\n"), std::string::npos) << run.output;
    const std::string lines[] = {
        "[SystrayOperation::Start]start operation : SPINNER",
        "[Spinner::StartInt] Start process with command-line : \"" + Narrow(repository) +
            "\\VarometLauncherSysTray.exe\" --spinner",
        "[Spinner::StartInt] CreateProcessAsUserW successed !",
        "[Spinner::StartInt]Successfully Started Spinner on session [7]",
        "[SystrayComs::post]{local}16/0/0",
        "[Spinner::StopInt] use TerminateJobObject to kill sub-process",
        "[Spinner::StopInt]Successfully Stopped Spinner[7]",
    };
    for (const std::string& line : lines) EXPECT_NE(run.output.find(line + "\n"), std::string::npos) << line;
}

TEST_F(TrayLink, SpinnerAsTheSessionUserRunsInItsJobUntilStopped) {
    SessionScope sessions(true);
    const std::wstring repository = MakeRepository(folder);
    const SpinnerRun run = RunSpinner(Narrow(repository), false);
    EXPECT_TRUE(run.started) << sink.Dump();
    EXPECT_TRUE(run.wasInJob);
    EXPECT_FALSE(run.startedAfterStop) << sink.Dump();
    EXPECT_TRUE(run.ended);
    EXPECT_TRUE(sink.Has("[Spinner::StartInt]Successfully Started Spinner on session [7]")) << sink.Dump();
}

TEST_F(TrayLink, SpinnerIsKilledWhenItsCloseCannotBePosted) {
    SessionScope sessions(true);
    const std::wstring repository = MakeRepository(folder);
    SystrayComs coms(nullptr, 'x', Narrow(repository).c_str());
    ZYNSysKernelHandle process;
    {
        Spinner spinner(coms, true);
        ASSERT_TRUE(spinner.IsStarted()) << sink.Dump();
        process = WindowProcess(kSpinnerClass);
        ASSERT_TRUE(process);
        spinner.Stop();
        // The close could not be posted, yet the closed job ended the spinner: the operation
        // is over, and a new start makes a new spinner.
        EXPECT_FALSE(spinner.IsStarted());
        EXPECT_TRUE(Ends(process));
        ASSERT_TRUE(spinner.Start());
        ZYNSysKernelHandle second = WindowProcess(kSpinnerClass);
        ASSERT_TRUE(second);
        spinner.Stop();
        EXPECT_TRUE(Ends(second));
    }
    EXPECT_NE(sink.After("[Spinner::StopInt]Fail to stop Spinner[7] thru WM_CLOSE, hard killing it ! "), "<none>")
        << sink.Dump();
}

TEST_F(TrayLink, SpinnerStartFailuresAreReported) {
    const std::wstring repository = MakeRepository(folder);
    struct Case {
        const char* name;
        std::string repository;
        bool anySession;
        const char* logged;
    } cases[] = {
        {"no session", Narrow(repository), false, "[Spinner::StartInt]fail to retrive a valid session ID !"},
        {"missing program", Narrow(folder.In(L"empty")), true, "[Spinner::StartInt] CreateProcessAsUserW failed !"},
    };
    for (const Case& c : cases) {
        SessionScope sessions(c.anySession);
        SystrayComs coms(nullptr, 'l', c.repository.c_str());
        Spinner spinner(coms, true);
        EXPECT_FALSE(spinner.IsStarted()) << c.name;
        EXPECT_TRUE(sink.Has(c.logged)) << c.name << "\n" << sink.Dump();
    }
    EXPECT_TRUE(ProcessesOf(repository + L"\\VarometLauncherSysTray.exe").empty());
}

// ---- through the user extension ----

// Indirect posts, the tray's start by the extension and the spinner in the session the
// request is bound to. Not in test mode, so that the extension is the program beside this
// one: the parent runs a copy of this program next to the fake extension.
VAROMET_CHILD_CASE(ThroughTheUserExtension) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    OneSession sessions(true, 41);
    ScopedSessionEnumerator installedSessions(sessions);
    std::string repository, replyFile;
    if (!ToolBox::GetEnv(kRepositoryVariable, repository) || !ToolBox::GetEnv("FAKE_EXT_REPLY_FILE", replyFile))
        return 90;
    auto reply = [&replyFile](const char* text) {
        std::ofstream(std::filesystem::path(Widen(replyFile)), std::ios::binary | std::ios::trunc) << text;
    };
    OrdanaRequestInfo request("id-tray", "TGT-4711-secret-ticket-value", "https://enc.example/ws",
                              "https://auth.example/ws", "https://ordana.example", DaemonVersion(2, 1));
    request.initialised = true;
    SystrayComs coms(&request, 'i', repository.c_str());

    reply(R"({"rc":0,"content":true})");
    std::printf("post done: %d\n", coms.post(0x40A, 0, 30, "QXLauncherTray"));
    reply(R"({"rc":9,"content":null})");
    std::printf("post refused: %d\n", coms.post(0x40A, 0, 40, "QXLauncherTray"));
    reply(R"({"rc":0,"content":0})");
    std::printf("start done: %d\n", coms.StartSystray());
    reply(R"({"rc":0,"content":3})");
    std::printf("start exit 3: %d\n", coms.StartSystray());
    reply(R"({"rc":155,"content":null})");
    std::printf("start refused: %d\n", coms.StartSystray());

    // The active session moved on: the spinner goes to the one the request is bound to.
    sessions.SetId(42);
    const SpinnerRun spinner = RunSpinner(repository, false, &request);
    std::printf("spinner: %d %d %d %d\n", spinner.started, spinner.wasInJob, spinner.startedAfterStop, spinner.ended);

    installedSink.Restore();
    std::printf("%s", sink.Dump().c_str());
    std::fflush(stdout);
    // Ended at once: stopping the fake extension as in production would wait for it in vain.
    // Its job goes with this process.
    ::TerminateProcess(::GetCurrentProcess(), 0);
    return 0;
}

TEST_F(TrayLink, IndirectModeStartAndSpinnerGoThroughTheSessionExtension) {
    const std::wstring repository = MakeRepository(folder);
    const std::wstring host = folder.In(L"ext host");
    ASSERT_TRUE(::CreateDirectoryW(host.c_str(), nullptr));
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_TRUE(::CopyFileW(self, (host + L"\\host.exe").c_str(), TRUE));
    ASSERT_TRUE(::CopyFileW(BuiltProgram(VAROMET_FAKE_EXTENSION_EXE).c_str(),
                            (host + L"\\VarometLauncherGUI.exe").c_str(), TRUE));
    const std::wstring record = folder.In(L"record.txt");
    Launcher child(folder, {L"--child-case=ThroughTheUserExtension"},
                   {{Widen(kRepositoryVariable), repository},
                    {L"FAKE_EXT_RECORD", record},
                    {L"FAKE_EXT_REPLY_FILE", folder.In(L"reply.txt")}},
                   host + L"\\host.exe");
    ASSERT_EQ(child.WaitForExit(30000), 0u) << child.Output();
    const std::string output = child.Output();
    const std::string expected[] = {
        "post done: 1\n",
        "post refused: 0\n",
        "start done: 1\n",
        "start exit 3: 0\n",
        "start refused: 0\n",
        "spinner: 1 1 0 1\n",
        "[SystrayComs::post]{indirect}<OrdanaRequestInfo[ordanaId='id-tray',casTgc='TGT-***(28)',"
            "encryptionWsUrl='https://enc.example/ws',authWsUrl='https://auth.example/ws',"
            "ordanaUrl='https://ordana.example',protocolVersion='2.1']>1034/0/30\n",
        "[SystrayComs::StartSystray]Fail to execute AsUser the systray ! (auRc:0//rc:3)\n",
        "[SystrayComs::StartSystray]Fail to execute AsUser the systray ! (auRc:155//rc:-1)\n",
        "[Spinner::StartInt]Successfully Started Spinner on session [41]\n",
    };
    for (const std::string& line : expected) EXPECT_NE(output.find(line), std::string::npos) << line << output;
    EXPECT_EQ(output.find("TGT-4711-secret-ticket-value"), std::string::npos) << output;

    const std::string requests = Joined(ReadLines(record));
    const std::string tray = JsonQuoted(Narrow(repository) + "\\VarometLauncherSysTray.exe");
    const std::string sent[] = {
        R"("op": "postStatus")",
        R"("args": {"wnd": "QXLauncherTray", "label": "1034", "lparam": "30", "wparam": "0"}})",
        R"("args": {"wnd": "QXLauncherTray", "label": "1034", "lparam": "40", "wparam": "0"}})",
        R"("args": {"action": "Execute", "cmd": [)" + tray + R"(], "runas": false, "timeout": 0}})",
    };
    for (const std::string& text : sent) EXPECT_NE(requests.find(text), std::string::npos) << text << "\n" << requests;
}

}  // namespace
