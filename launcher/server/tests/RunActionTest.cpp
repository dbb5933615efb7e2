// The op "run" through the dispatcher, with real processes, folders and files.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Backbone.h"
#include "ChildProcess.h"
#include "Config.h"
#include "FileAndFoldersManager.h"
#include "Globals.h"
#include "LaunchDaemon.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"
#include "Sleeper.h"
#include "ZipShell.h"

namespace {

std::string Helper() { return JsonQuoted(Narrow(BuiltProgram(VAROMET_EXEC_HELPER_EXE))); }

struct Answer {
    int rc;
    std::string content;  // compact text, "<none>" without content
};

class RunActions : public ::testing::Test {
protected:
    static Answer Run(const std::string& args) {
        JSON::ValuePtr content;
        const int rc = Backbone::Process("{\"op\": \"run\", \"args\": " + args + "}", content);
        return {rc, content ? content->Dump() : "<none>"};
    }
    std::string In(const wchar_t* name) const { return JsonQuoted(Narrow(folder.In(name))); }

    RecordingSink sink;
    ScopedLogSink installedSink{sink};
    TestFolder folder;
};

TEST_F(RunActions, RefusesArgumentsThatAreNoObjectAndUnknownActions) {
    struct Case {
        const char* args;
        int rc;
    } cases[] = {
        {"[{\"action\": \"mkdir\"}]", 15},
        {"\"mkdir\"", 15},
        {"{}", 149},
        {"{\"action\": 5}", 149},
        {"{\"action\": \"MKDIR\"}", 149},
        {"{\"action\": \"downloadmedia\", \"dest\": \"x\"}", 149},
        {"{\"action\": \"callws\", \"url\": \"x\"}", 149},
        {"{\"action\": \"MkShortcut\", \"cmd\": []}", 149},
    };
    for (const Case& c : cases) {
        const Answer answer = Run(c.args);
        EXPECT_EQ(answer.rc, c.rc) << c.args;
        EXPECT_EQ(answer.content, "<none>") << c.args;
    }
    EXPECT_TRUE(sink.Has("[Backbone::Process]Unknow param type : "));
    EXPECT_TRUE(sink.Has("[Backbone::Process]invalid RUN argument item ! expecting JSON object but get this "
                         "instead : \"mkdir\""));
}

TEST_F(RunActions, ExecuteAnswersTheExitCodeOrWhyNothingRan) {
    const std::string marker = In(L"ran.txt");
    struct Case {
        std::string cmd;  // the members after "action"
        int rc;
        const char* content;
    } cases[] = {
        {"\"cmd\": [" + Helper() + ", \"exit\", \"3\"], \"timeout\": 20000", 0, "3"},
        {"\"cmd\": [" + Helper() + ", \"exit\", \"3221225477\"], \"timeout\": -1", 0, "-1073741819"},
        {"\"cmd\": [" + Helper() + ", null, \"exit\", \"6\"], \"timeout\": 20000", 0, "6"},
        {"\"cmd\": [" + Helper() + ", \"exit\", \"7\"], \"runas\": true, \"timeout\": 20000", 0, "7"},
        {"\"cmd\": [" + Helper() + ", \"sleep\", \"2500\"], \"timeout\": 0", 0, "0"},
        {"\"cmd\": [" + Helper() + ", \"sleep\", \"2500\"], \"timeout\": 200", 155, "<none>"},
        {"\"cmd\": [" + In(L"absent.exe") + "], \"timeout\": 20000", 155, "<none>"},
        {"\"cmd\": [" + Helper() + ", 1, " + marker + ", {}], \"timeout\": 20000", 158, "<none>"},
        {"\"cmd\": " + Helper() + ", \"timeout\": 20000", 157, "<none>"},
        {"\"timeout\": 20000", 157, "<none>"},
    };
    for (const Case& c : cases) {
        const Answer answer = Run("{\"action\": \"Execute\", " + c.cmd + "}");
        EXPECT_EQ(answer.rc, c.rc) << c.cmd;
        EXPECT_EQ(answer.content, c.content) << c.cmd;
    }
    EXPECT_FALSE(std::filesystem::exists(folder.In(L"ran.txt"))) << "a refused command ran";
    EXPECT_TRUE(sink.Has("[Backbone::Process]invalid commandline array at [1] ! this item is not a JSON string."));
    EXPECT_TRUE(sink.Has("[Backbone::Process]invalid commandline array at [3] ! this item is not a JSON string."));
    EXPECT_TRUE(sink.Has("[Backbone::Process]invalid commandline item ! expecting an JSONarray into this field [cmd] "
                         "instead of : NULL"));
}

TEST_F(RunActions, MkdirAndCheckFileAnswerTrueOrFalse) {
    std::ofstream(std::filesystem::path(folder.In(L"file.txt"))) << "x";
    struct Case {
        std::string args;
        const char* content;
    } cases[] = {
        {"{\"action\": \"mkdir\", \"path\": " + In(L"a\\b\\c") + "}", "true"},
        {"{\"action\": \"mkdir\", \"path\": " + In(L"a") + "}", "true"},
        {"{\"action\": \"mkdir\", \"path\": " + In(L"file.txt") + "}", "false"},
        {"{\"action\": \"mkdir\"}", "false"},
        {"{\"action\": \"checkFile\", \"path\": " + In(L"a\\b\\c") + ", \"kind\": 2, \"access\": 3}", "true"},
        {"{\"action\": \"checkFile\", \"path\": " + In(L"file.txt") + ", \"kind\": 1, \"access\": 1}", "true"},
        {"{\"action\": \"checkFile\", \"path\": " + In(L"file.txt") + ", \"kind\": 2}", "false"},
        {"{\"action\": \"checkFile\", \"path\": " + In(L"file.txt") + "}", "true"},
        {"{\"action\": \"checkFile\", \"path\": " + In(L"file.txt") + ", \"kind\": 1, \"access\": 9}", "false"},
        {"{\"action\": \"checkFile\", \"path\": " + In(L"none") + "}", "false"},
    };
    for (const Case& c : cases) {
        const Answer answer = Run(c.args);
        EXPECT_EQ(answer.rc, 0) << c.args;
        EXPECT_EQ(answer.content, c.content) << c.args;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder.In(L"a\\b\\c")));
}

}  // namespace

namespace {

// With the keep option every action uses the one cache folder below the operation folder;
// an existing cache is kept as it is. The parent gives the data folder and the archive.
VAROMET_CHILD_CASE(UnzipActionKeepsTheCacheFolder) {
    char buffer[1024] = {};
    DWORD got = ::GetEnvironmentVariableA("WEX_TRQ_TMP", buffer, sizeof buffer);
    if (got == 0 || got >= sizeof buffer) return 90;
    const std::string base = buffer;
    LaunchDaemon::MetaInit(3, "VarometLauncher_backbone\\test", "VarometLauncher_backbone", "");
    Config::ActivateOption(52);
    std::string operation;
    if (!FileAndFoldersManager::GetFolderPath(FolderId::OPERATION, operation, true, nullptr)) return 91;
    const std::string cache = operation + "\\media_unzip_cache";
    ::CreateDirectoryW(Widen(cache).c_str(), nullptr);
    std::ofstream(std::filesystem::path(Widen(cache + "\\kept.txt"))) << "kept";
    JSON::ValuePtr content;
    const int rc = Backbone::Process(
        "{\"op\": \"run\", \"args\": {\"action\": \"Unzip\", \"target\": " + JsonQuoted(base + "\\a.zip") + "}}",
        content);
    std::ifstream kept(std::filesystem::path(Widen(cache + "\\kept.txt")));
    std::string text;
    std::getline(kept, text);
    std::printf("\nRESULT %d %s %s\n", rc, content ? content->Dump().c_str() : "<none>", text.c_str());
    std::printf("EXPECTED {\"rc\": 0, \"output\": %s}\n", JsonQuoted(cache).c_str());
    std::fflush(stdout);
    return 0;
}

TEST(RunUnzipAction, KeepOptionUsesTheOneCacheFolderAndKeepsIt) {
    TestFolder folder;
    std::ofstream(std::filesystem::path(folder.In(L"a.zip")), std::ios::binary) << TinyZip();
    ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", folder.Path().c_str());
    ChildProcess::Result run = ChildProcess::Run("UnzipActionKeepsTheCacheFolder");
    ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", nullptr);
    ASSERT_TRUE(run.started) << run.output;
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    std::erase(run.output, '\r');
    const std::size_t expected = run.output.find("EXPECTED ");
    ASSERT_NE(expected, std::string::npos) << run.output;
    const std::string content = run.output.substr(expected + 9, run.output.find('\n', expected) - expected - 9);
    EXPECT_NE(run.output.find("\nRESULT 0 " + content + " kept\n"), std::string::npos) << run.output;
}

}  // namespace

namespace {

class ThreeItemCopy final : public ZipCopy {
public:
    long ItemCount() const override { return 3; }
};

// Stands in for the shell's zip folder, which Wine lacks: the copy puts one of the archive's
// three items into the target at once and the other two at a later pause of the wait, or never.
class StagedZipShell final : public ZipShell, public Sleeper {
public:
    StagedZipShell(int arrival, int stop) : arrival_(arrival), stop_(stop) {}

    std::unique_ptr<ZipCopy> StartCopy(const std::wstring&, const std::wstring& target) override {
        target_ = target;
        std::ofstream(std::filesystem::path(target + L"\\first.txt")) << "1";
        return std::make_unique<ThreeItemCopy>();
    }
    void Sleep(std::uint32_t milliseconds) override {
        asked += milliseconds;
        ++pauses_;
        if (pauses_ == stop_) G_STOP = true;
        if (pauses_ == arrival_) {
            std::ofstream(std::filesystem::path(target_ + L"\\second.txt")) << "2";
            ::CreateDirectoryW((target_ + L"\\folder").c_str(), nullptr);
        }
    }
    std::uint64_t asked = 0;

private:
    const int arrival_;
    const int stop_;
    int pauses_ = 0;
    std::wstring target_;
};

int IntFromEnvironment(const char* name) {
    char buffer[32] = {};
    const DWORD got = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return got > 0 && got < sizeof buffer ? std::atoi(buffer) : 0;
}

// The stop order is process-wide. The parent gives the data folder with the archive, the
// pause at which the last items arrive and the one at which the stop comes (0: never).
VAROMET_CHILD_CASE(UnzipWithStagedShell) {
    char buffer[1024] = {};
    DWORD got = ::GetEnvironmentVariableA("WEX_TRQ_TMP", buffer, sizeof buffer);
    if (got == 0 || got >= sizeof buffer) return 90;
    const std::string base = buffer;
    LaunchDaemon::MetaInit(3, "VarometLauncher_backbone\\test", "VarometLauncher_backbone", "");
    StagedZipShell shell(IntFromEnvironment("VAROMET_TEST_ARRIVAL"), IntFromEnvironment("VAROMET_TEST_STOP"));
    ScopedZipShell installedShell(shell);
    ScopedSleeper installedSleeper(shell);
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    JSON::ValuePtr content;
    const int rc = Backbone::Process(
        "{\"op\": \"run\", \"args\": {\"action\": \"Unzip\", \"target\": " + JsonQuoted(base + "\\a.zip") + "}}",
        content);
    installedSink.Restore();
    const JSON::Value* result = content ? content->Find("rc") : nullptr;
    std::printf("%s\nRESULT %d %s %llu\n", sink.Dump().c_str(), rc, result ? result->GetText().c_str() : "<none>",
                static_cast<unsigned long long>(shell.asked));
    std::fflush(stdout);
    return 0;
}

TEST(RunUnzipAction, ExtractionSucceedsOnlyOnceEveryItemIsThere) {
    TestFolder folder;
    std::ofstream(std::filesystem::path(folder.In(L"a.zip")), std::ios::binary) << TinyZip();
    struct Case {
        const char* name;
        const wchar_t* arrival;
        const wchar_t* stop;
        const char* result;  // rc, the unzip result in the content, the pauses asked for in ms
        const char* logged;
    } cases[] = {
        {"items that come while waited for", L"3", L"0", "0 0 300", "Successfully extracted 3 files from '"},
        {"items that never come", L"0", L"0", "169 2 120000",
         "extraction unfinished after 120000 ms with 1 of 3 items in : "},
        {"a stop order during the wait", L"0", L"1", "169 2 100",
         "GLOBAL STOP ORDER ! extraction abandoned with 1 of 3 items in : "},
    };
    for (const Case& c : cases) {
        ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", folder.Path().c_str());
        ::SetEnvironmentVariableW(L"VAROMET_TEST_ARRIVAL", c.arrival);
        ::SetEnvironmentVariableW(L"VAROMET_TEST_STOP", c.stop);
        ChildProcess::Result run = ChildProcess::Run("UnzipWithStagedShell");
        for (const wchar_t* name : {L"WEX_TRQ_TMP", L"VAROMET_TEST_ARRIVAL", L"VAROMET_TEST_STOP"})
            ::SetEnvironmentVariableW(name, nullptr);
        ASSERT_TRUE(run.started) << c.name << ": " << run.output;
        EXPECT_EQ(run.exitCode, 0u) << c.name << ": " << run.output;
        std::erase(run.output, '\r');
        EXPECT_NE(run.output.find(std::string("\nRESULT ") + c.result + "\n"), std::string::npos)
            << c.name << ": " << run.output;
        EXPECT_NE(run.output.find(std::string("[Operations::Local::Unzip]") + c.logged), std::string::npos)
            << c.name << ": " << run.output;
    }
}

}  // namespace
