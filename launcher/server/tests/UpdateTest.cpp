// The op "update" in child processes (configuration, command runner and the update's mutex
// are process-wide), with a stand-in for msiexec, a tray window and the service pipe.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "Backbone.h"
#include "ChildProcess.h"
#include "CommandRunner.h"
#include "Config.h"
#include "ExtensionTestSupport.h"
#include "FakeServicePipe.h"
#include "LauncherTestSupport.h"
#include "UserExtension.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr wchar_t kMutexName[] = L"VarometLauncher_UPDATE_MUTEX";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Plays msiexec: "exit:N" ends with N, "fail" cannot be started. Like a waiting installer, it
// keeps a handle to the update's mutex, which outlives the update's own.
class ScriptedRunner final : public CommandRunner {
public:
    explicit ScriptedRunner(std::string script) : script_(std::move(script)) {}
    bool Run(const std::vector<std::string>& cmd, std::int32_t& exitCode, bool asSessionUser, std::int32_t timeoutMs,
             bool runas, std::int32_t) override {
        observed.Reset(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName));
        std::string line;
        for (const std::string& word : cmd) line += (line.empty() ? "" : " ") + word;
        calls.push_back(line + " |asUser=" + std::to_string(asSessionUser) + " timeout=" + std::to_string(timeoutMs) +
                        " runas=" + std::to_string(runas));
        if (script_ == "fail") return false;
        exitCode = std::stoi(script_.substr(5));
        return true;
    }
    std::vector<std::string> calls;
    ZYNSysKernelHandle observed;

private:
    std::string script_;
};

// Whether another thread can take the mutex through the kept handle at once: the update gave
// back every ownership it took.
bool GivenBack(ZYNSysKernelHandle& mutex) {
    if (!mutex) return false;
    const DWORD taken = std::async(std::launch::async, [&mutex] {
                            const DWORD result = ::WaitForSingleObject(mutex.Get(), 0);
                            if (result == WAIT_OBJECT_0) ::ReleaseMutex(mutex.Get());
                            return result;
                        }).get();
    mutex.Reset();
    return taken == WAIT_OBJECT_0;
}

bool MutexIsFree() {
    ZYNSysKernelHandle mutex(::CreateMutexW(nullptr, FALSE, kMutexName));
    return mutex.IsValid() && ::GetLastError() != ERROR_ALREADY_EXISTS;
}

std::string Request(const std::string& args) { return R"({"op": "update", "args": )" + args + "}"; }

// VAROMET_UPDATE_DIR holds package.msi and the folder logs\ (with a file in it).
VAROMET_CHILD_CASE(UpdateRefusesBadArgumentsBeforeStartingAnything) {
    const std::string quoted = JsonQuoted(Env("VAROMET_UPDATE_DIR"));
    const std::string base = quoted.substr(1, quoted.size() - 2);  // escaped for JSON
    const std::string msi = "\"" + base + "\\\\package.msi\"";
    const std::string log = "\"" + base + "\\\\install.log\"";
    Config::Init("");
    Config::ActivateOption(65);
    ScriptedRunner runner("exit:0");
    ScopedCommandRunner installedRunner(runner);
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    struct Case {
        const char* name;
        std::string args;
        int rc;
        std::string line;
    };
    const Case cases[] = {
        {"object", R"({"msi": "a"})", 15, ""},
        {"three strings", "[" + msi + ", " + log + ", \"C:\\\\b\"]", 167,
         "[Backbone::Process]invalid UPDATE argument item ! No target session ID ."},
        {"msi not a string", "[1, " + log + ", \"b\", \"1\"]", 167,
         "[Backbone::Process]invalid UPDATE argument item ! No MSI path."},
        {"log missing", "[" + msi + "]", 167, "[Backbone::Process]invalid UPDATE argument item ! No MSI log path."},
        {"base null", "[" + msi + ", " + log + ", null, \"1\"]", 167,
         "[Backbone::Process]invalid UPDATE argument item ! No Launcher base install path."},
        {"session without digits", "[" + msi + ", " + log + ", \"b\", \"abc\"]", 21, ""},
        // The parser reads an empty string as null: an empty path is a missing one.
        {"empty msi", "[\"\", " + log + ", \"b\", \"1\"]", 167,
         "[Backbone::Process]invalid UPDATE argument item ! No MSI path."},
        {"absent msi", "[\"" + base + "\\\\none.msi\", " + log + ", \"b\", \"1\"]", 166,
         "[Backbone::Process]invalid UPDATE argument item ! MSI path '" + Env("VAROMET_UPDATE_DIR") +
             "\\none.msi' does not exsit or is not an MSI"},
        {"msi is a folder", "[\"" + base + "\\\\logs\", " + log + ", \"b\", \"1\"]", 166, ""},
        {"empty log", "[" + msi + ", \"\", \"b\", \"1\"]", 167,
         "[Backbone::Process]invalid UPDATE argument item ! No MSI log path."},
        {"log is a folder", "[" + msi + ", \"" + base + "\\\\logs\", \"b\", \"1\"]", 166, ""},
        {"log ending with a separator", "[" + msi + ", \"" + base + "\\\\new\\\\\", \"b\", \"1\"]", 166, ""},
        {"log with a quote", "[" + msi + ", \"" + base + "\\\\x\\\" /qn \\\"y.log\", \"b\", \"1\"]", 166, ""},
        // The platform would read a path only up to a NUL: the file named before it stays.
        {"msi with a NUL", "[\"" + base + "\\\\package.msi\\u0000.x\", " + log + ", \"b\", \"1\"]", 166, ""},
        {"log with a NUL", "[" + msi + ", \"" + base + "\\\\install.log\\u0000.x\", \"b\", \"1\"]", 166, ""},
        {"base with a NUL", "[" + msi + ", " + log + ", \"b\\u0000x\", \"1\"]", 166, ""},
        {"base with a quote", "[" + msi + ", " + log + ", \"b\\\"x\", \"1\"]", 166,
         "[Backbone::Process]invalid UPDATE argument item ! Launcher base install path 'b\"x' is not a folder path"},
    };
    int failures = 0;
    for (const Case& c : cases) {
        JSON::ValuePtr content;
        const int rc = Backbone::Process(Request(c.args), content);
        const bool spinner = sink.After("[SystrayOperation::Start]") != "<none>";
        const bool free = MutexIsFree();
        const bool line = c.line.empty() || sink.Has(c.line);
        if (rc != c.rc || !runner.calls.empty() || spinner || !free || !line) {
            ++failures;
            std::printf("FAIL %s: rc %d (want %d) runs %zu spinner %d mutex free %d line %d\n", c.name, rc, c.rc,
                        runner.calls.size(), spinner, free, line);
        }
    }
    installedSink.Restore();
    if (failures) std::printf("%s", sink.Dump().c_str());
    std::fflush(stdout);
    return failures;
}

// VAROMET_UPDATE_DIR as above, VAROMET_UPDATE_BASE the folder of the product,
// VAROMET_UPDATE_RUNNER the stand-in's script.
VAROMET_CHILD_CASE(UpdateRunsTheInstaller) {
    const std::string dir = Env("VAROMET_UPDATE_DIR");
    Config::Init("");
    Config::ActivateOption(65);
    ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", Widen(dir).c_str());
    ScriptedRunner runner(Env("VAROMET_UPDATE_RUNNER"));
    ScopedCommandRunner installedRunner(runner);
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    FakeServicePipe service;
    int rc = -1;
    std::vector<RecordingWindow::Message> messages;
    {
        RecordingWindow tray(L"QXLauncherTray", true);
        const std::string args = "[" + JsonQuoted(dir + "\\package.msi") + ", " + JsonQuoted(dir + "\\install.log") +
                                 ", " + JsonQuoted(Env("VAROMET_UPDATE_BASE")) + ", \"3\"]";
        JSON::ValuePtr content;
        rc = Backbone::Process(Request(args), content);
        std::printf("content %s\n", content ? content->Dump().c_str() : "<none>");
        // Posted messages are handled asynchronously.
        messages = tray.WaitForMessages(std::stoul(Env("VAROMET_UPDATE_TRAY_COUNT")), 5000);
    }
    installedSink.Restore();
    std::printf("rc %d\n", rc);
    std::printf("mutex given back %d\n", GivenBack(runner.observed));
    for (const std::string& call : runner.calls) std::printf("runner %s\n", call.c_str());
    for (const auto& m : messages)
        std::printf("tray %u %llu %lld\n", m.message, static_cast<unsigned long long>(m.wParam),
                    static_cast<long long>(m.lParam));
    for (const std::string& message : service.Messages()) std::printf("service %s\n", message.c_str());
    std::printf("mutex free %d\n", MutexIsFree());
    std::printf("log file kept %d\n", std::filesystem::exists(Widen(dir + "\\install.log")) ? 1 : 0);
    std::printf("%s", sink.Dump().c_str());
    std::fflush(stdout);
    return 0;
}

// Normal mode, from a folder where the extension and the tray program are copies of the fake
// extension, which never answers: the update asks the extension of the request's session to
// start the tray, twice in a row. The exchange's margin is shrunk to 1 s.
VAROMET_CHILD_CASE(UpdatesWithAHungUserExtension) {
    const std::string dir = Env("VAROMET_UPDATE_DIR");
    Config::Init("");
    ScriptedRunner runner("fail");
    ScopedCommandRunner installedRunner(runner);
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    extension_test::TestSessions sessions;
    sessions.active = 100000 + ::GetCurrentProcessId();
    ScopedSessionEnumerator installedSessions(sessions);
    UserExtension::SetExchangeMargin(1000);
    const std::string cinfo =
        OrdanaRequestInfo("id-update", "TGT-1-x", "", "", "", DaemonVersion(2, 1)).toJSON()->Dump();
    const std::string args = "[" + JsonQuoted(dir + "\\package.msi") + ", " + JsonQuoted(dir + "\\install.log") +
                             ", " + JsonQuoted(dir) + ", \"3\"]";
    for (int i = 0; i < 2; ++i) {
        JSON::ValuePtr content;
        const ULONGLONG start = ::GetTickCount64();
        const int rc =
            Backbone::Process(R"({"op": "update", "cinfo": )" + cinfo + R"(, "args": )" + args + "}", content);
        std::printf("rc %d after %llu ms\n", rc, static_cast<unsigned long long>(::GetTickCount64() - start));
        std::printf("mutex given back %d\n", GivenBack(runner.observed));
        std::printf("mutex free %d\n", MutexIsFree());
    }
    installedSink.Restore();
    std::printf("%s", sink.Dump().c_str());
    std::fflush(stdout);
    return 0;
}

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(std::filesystem::path(folder_.In(L"package.msi")), std::ios::binary) << "not really a package";
        std::ofstream(std::filesystem::path(folder_.In(L"install.log")), std::ios::binary) << "old log";
        ::CreateDirectoryW(folder_.In(L"logs").c_str(), nullptr);
        std::ofstream(std::filesystem::path(folder_.In(L"logs\\keep.txt")), std::ios::binary) << "keep";
        ::SetEnvironmentVariableW(L"VAROMET_UPDATE_DIR", folder_.Path().c_str());
        std::wstring product = BuiltProgram(VAROMET_PRODUCT_EXE);
        ::SetEnvironmentVariableW(L"VAROMET_UPDATE_BASE", product.substr(0, product.rfind(L'\\')).c_str());
    }
    void TearDown() override {
        for (const wchar_t* name : {L"VAROMET_UPDATE_DIR", L"VAROMET_UPDATE_BASE", L"VAROMET_UPDATE_RUNNER",
                                    L"VAROMET_UPDATE_TRAY_COUNT"})
            ::SetEnvironmentVariableW(name, nullptr);
    }
    // trayMessages: how many the tray window should get; the child waits for them.
    std::string RunInstaller(const wchar_t* script, std::size_t trayMessages) {
        ::SetEnvironmentVariableW(L"VAROMET_UPDATE_RUNNER", script);
        ::SetEnvironmentVariableW(L"VAROMET_UPDATE_TRAY_COUNT", std::to_wstring(trayMessages).c_str());
        ChildProcess::Result run = ChildProcess::Run("UpdateRunsTheInstaller");
        EXPECT_TRUE(run.started) << run.output;
        EXPECT_EQ(run.exitCode, 0u) << run.output;
        std::erase(run.output, '\r');
        return run.output;
    }
    static std::vector<std::string> Lines(const std::string& output, const std::string& prefix) {
        std::vector<std::string> lines;
        std::size_t at = 0;
        while (at < output.size()) {
            std::size_t end = output.find('\n', at);
            if (end == std::string::npos) end = output.size();
            const std::string line = output.substr(at, end - at);
            if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
            at = end + 1;
        }
        return lines;
    }
    TestFolder folder_;
};

TEST_F(UpdateTest, BadArgumentsAreAnsweredBeforeAnythingStartsAndNoFolderIsDeleted) {
    ChildProcess::Result run = ChildProcess::Run("UpdateRefusesBadArgumentsBeforeStartingAnything");
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(std::filesystem::exists(folder_.In(L"logs\\keep.txt")));
    EXPECT_TRUE(std::filesystem::exists(folder_.In(L"install.log")));
}

TEST_F(UpdateTest, InstallerOutcomesGiveTheirCodesAndTrayStatuses) {
    struct Case {
        const wchar_t* script;
        const char* rc;
        std::vector<std::string> tray;  // what reaches the tray window
        const char* statusLine;         // the status as posted
        bool restarted;                 // tray restarted from the new folder and "init" run
    };
    const Case cases[] = {
        {L"exit:0", "0", {"16 0 0", "1037 0 0"}, "[SystrayComs::post]{plain}1037/0/0", true},
        {L"exit:3010", "0", {"16 0 0", "1037 2 0"}, "[SystrayComs::post]{plain}1037/2/0", true},
        // Before a successful install the GUI program is looked for beside the running one
        // (the test program, where there is none), so the status is seen in the log only.
        {L"exit:1603", "80", {}, "[SystrayComs::post]{plain}1037/3/1603", false},
        {L"fail", "81", {}, "[SystrayComs::post]{plain}1037/1/0", false},
    };
    const std::string dir = Narrow(folder_.Path());
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.script));
        const std::string output = RunInstaller(c.script, c.tray.size());
        EXPECT_EQ(Lines(output, "rc "), std::vector<std::string>{c.rc}) << output;
        EXPECT_EQ(Lines(output, "content "), std::vector<std::string>{"<none>"});
        EXPECT_EQ(Lines(output, "runner "),
                  std::vector<std::string>{"msiexec /l*vx! \"" + dir + "\\install.log\" /norestart /i \"" + dir +
                                           "\\package.msi\" NOINIT=TRUE |asUser=0 timeout=-1 runas=1"});
        EXPECT_EQ(Lines(output, "tray "), c.tray) << output;
        EXPECT_NE(output.find(std::string(c.statusLine) + "\n"), std::string::npos) << output;
        EXPECT_EQ(Lines(output, "mutex free "), std::vector<std::string>{"1"});
        EXPECT_EQ(Lines(output, "mutex given back "), std::vector<std::string>{"1"});
        EXPECT_EQ(Lines(output, "log file kept "), std::vector<std::string>{"0"}) << "the old log is deleted first";
        EXPECT_NE(output.find("[SystrayOperation::Stop]stop operation : SPINNER\n"), std::string::npos);
        const std::vector<std::string> service = Lines(output, "service ");
        if (c.restarted) {
            ASSERT_EQ(service.size(), 1u) << output;
            EXPECT_EQ(service[0].rfind("{\"sID\": ", 0), 0u) << service[0];
            EXPECT_EQ(output.find("[Backbone::Process] Fail to run command to init session."), std::string::npos)
                << output;
        } else {
            EXPECT_TRUE(service.empty()) << output;
            EXPECT_EQ(output.find("[SystrayComs::ShutdownSystray]"), std::string::npos) << output;
        }
    }
}

TEST_F(UpdateTest, SecondUpdateWhileOneHoldsTheMutexIsRefused) {
    {
        // Another process's update in progress.
        ZYNSysKernelHandle held(::CreateMutexW(nullptr, TRUE, kMutexName));
        ASSERT_TRUE(held.IsValid());
        const std::string output = RunInstaller(L"exit:0", 0);
        EXPECT_EQ(Lines(output, "rc "), std::vector<std::string>{"172"}) << output;
        EXPECT_TRUE(Lines(output, "runner ").empty()) << output;
        EXPECT_NE(output.find("[Backbone::Process]concurrent UPDATE process detected !\n"), std::string::npos);
        ::ReleaseMutex(held.Get());
    }
    const std::string output = RunInstaller(L"exit:0", 2);
    EXPECT_EQ(Lines(output, "rc "), std::vector<std::string>{"0"}) << output;
}

TEST_F(UpdateTest, HungUserExtensionFailsTheTrayStartInTimeAndTheNextUpdateTakesTheMutex) {
    const std::wstring bin = folder_.In(L"bin");
    ASSERT_TRUE(::CreateDirectoryW(bin.c_str(), nullptr));
    const std::wstring program = bin + L"\\server_update_tests.exe";
    ASSERT_TRUE(::CopyFileW(extension_test::ThisProgram().c_str(), program.c_str(), FALSE));
    for (const wchar_t* name : {L"VarometLauncherGUI.exe", L"VarometLauncherSysTray.exe"}) {
        ASSERT_TRUE(::CopyFileW(BuiltProgram(VAROMET_FAKE_EXTENSION_EXE).c_str(), (bin + L"\\" + name).c_str(), FALSE));
    }
    std::ofstream(std::filesystem::path(folder_.In(L"reply.txt")), std::ios::binary) << "#hang";
    // The window lets the extension be stopped at the child's end without waiting.
    const EnvList env{{L"FAKE_EXT_REPLY_FILE", folder_.In(L"reply.txt")}, {L"FAKE_EXT_WINDOW", L"1"}};
    Launcher run(folder_, {L"--child-case=UpdatesWithAHungUserExtension"}, env, program);
    ASSERT_TRUE(run.Started());
    ASSERT_EQ(run.WaitForExit(60000), std::optional<DWORD>(0)) << run.Output();
    const std::string output = run.Output();
    const std::vector<std::string> took = Lines(output, "rc 81 after ");
    ASSERT_EQ(took.size(), 2u) << output;
    for (const std::string& text : took) {
        const unsigned long ms = std::stoul(text);
        EXPECT_GE(ms, 1000u) << output;
        EXPECT_LT(ms, 15000u) << output;
    }
    EXPECT_EQ(Lines(output, "mutex given back "), (std::vector<std::string>{"1", "1"})) << output;
    EXPECT_EQ(Lines(output, "mutex free "), (std::vector<std::string>{"1", "1"})) << output;
    EXPECT_EQ(Lines(output, "[UserExtension::RunOperation]exchange with the sub-process given up after 1000 ms."),
              (std::vector<std::string>{"", ""}))
        << output;
    EXPECT_EQ(Lines(output, "[SystrayComs::StartSystray]Fail to execute AsUser the systray ! (auRc:2//rc:-1)"),
              (std::vector<std::string>{"", ""}))
        << output;
}

}  // namespace
