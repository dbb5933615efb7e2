// Operations as the session user, against a fake extension and against the launcher itself.

#include <gtest/gtest.h>

#include <cstdint>
#include <chrono>
#include <cstdio>
#include <future>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ExtensionTestSupport.h"
#include "FolderMaker.h"
#include "Globals.h"
#include "Json.h"
#include "OperationsAsUser.h"
#include "OperationsLocal.h"
#include "PipeConnection.h"
#include "SharedData.h"
#include "UserExtension.h"

namespace {

using extension_test::ExtensionTest;
using extension_test::ProcessEnds;
using extension_test::SetVariable;
using Operations::AsUser;

class OperationsAsUser : public ExtensionTest {
protected:
    // Every extension process the fake recorded as started.
    void EndExtensions() {
        for (const std::string& line : RecordWith("start ")) {
            ZYNSysKernelHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, std::stoul(line.substr(6))));
            if (process) ::TerminateProcess(process.Get(), 1);
        }
    }
};

constexpr std::uint32_t kUntouched = 77;

std::size_t Count(RecordingSink& sink, const std::string& line) {
    std::size_t count = 0;
    for (const std::string& logged : sink.Lines()) count += logged == line ? 1 : 0;
    return count;
}

TEST_F(OperationsAsUser, EveryVerbTurnsTheReplyIntoItsCode) {
    struct Case {
        const char* reply;
        std::uint32_t run, execute, mkdir, post;
        const char* runContent;  // the content a code 0 hands over
        std::int32_t exitCode;   // or kUntouched
        int created;             // 0, 1, or kUntouched
    } cases[] = {
        {R"({"rc":0,"content":true})", 0, 3, 0, 0, "true", kUntouched, 1},
        {R"({"rc":0,"content":false})", 0, 3, 0, 0, "false", kUntouched, 0},
        {R"({"rc":0,"content":12})", 0, 0, 3, 0, "12", 12, kUntouched},
        {R"({"rc":0,"content":null})", 0, 3, 3, 0, "null", kUntouched, kUntouched},
        {R"({"rc":17,"content":true})", 17, 17, 17, 17, "", kUntouched, kUntouched},
        {R"({"rc":-2,"content":4})", 4294967294u, 4294967294u, 4294967294u, 4294967294u, "", kUntouched, kUntouched},
        {R"({"content":true})", 3, 3, 3, 3, "", kUntouched, kUntouched},
        {R"({"rc":"0","content":true})", 3, 3, 3, 3, "", kUntouched, kUntouched},
        {R"({"rc":0})", 3, 3, 3, 3, "", kUntouched, kUntouched},
        {"[]", 3, 3, 3, 3, "", kUntouched, kUntouched},
        // A scalar is no JSON document for the parser: no reply at all.
        {"42", 2, 2, 2, 2, "", kUntouched, kUntouched},
        {R"("text")", 2, 2, 2, 2, "", kUntouched, kUntouched},
        {R"({"rc":0,"content":)", 2, 2, 2, 2, "", kUntouched, kUntouched},
        {"#close", 2, 2, 2, 2, "", kUntouched, kUntouched},
        // An extension echoing a request context: logged as malformed, never with the ticket.
        {R"([{"cCas":"TGT-echoed-secret"}])", 3, 3, 3, 3, "", kUntouched, kUntouched},
        {R"({"rc":0,"content":{"cCas":"TGT-echoed-secret"}})", 0, 3, 3, 0, R"({"cCas": "TGT-echoed-secret"})",
         kUntouched, kUntouched},
        // The same with the name spelled in escapes, which the parser reads as the name.
        {R"([{"c\u0043as":"TGT-echoed-secret"}])", 3, 3, 3, 3, "", kUntouched, kUntouched},
        {R"({"rc":0,"content":{"C\u0041STGC":"TGT-echoed-secret"}})", 0, 3, 3, 0, R"({"CASTGC": "TGT-echoed-secret"})",
         kUntouched, kUntouched},
    };
    const OrdanaRequestInfo info = Request("id-verbs");
    JSON::Builder argsBuilder;
    argsBuilder.ParseString(R"({"action": "mkdir", "path": "C:\\x"})");
    const JSON::ValuePtr args = argsBuilder.Detach();
    for (const Case& c : cases) {
        SetReply(c.reply);
        JSON::ValuePtr content;
        EXPECT_EQ(AsUser::RunOperationByUserExtension(info, "run", args.get(), content), c.run) << c.reply;
        if (c.run == 0) {
            ASSERT_TRUE(content) << c.reply;
            EXPECT_EQ(content->Dump(), c.runContent) << c.reply;
        } else {
            EXPECT_FALSE(content) << c.reply;
        }
        std::int32_t exitCode = kUntouched;
        EXPECT_EQ(AsUser::ExecuteCommandAsUser(info, {"prog"}, exitCode, 1000, false), c.execute) << c.reply;
        EXPECT_EQ(exitCode, c.exitCode) << c.reply;
        bool created = true;
        const std::uint32_t mkdir = AsUser::MakeFolderAsUser(info, "C:\\x", created);
        EXPECT_EQ(mkdir, c.mkdir) << c.reply;
        if (c.created != static_cast<int>(kUntouched)) {
            EXPECT_EQ(created, c.created == 1) << c.reply;
        }
        EXPECT_EQ(AsUser::PostMessageToWindowAsUser(info, "Tray", 1024, 1, 2), c.post) << c.reply;
    }
    // One extension served every case.
    EXPECT_EQ(RecordWith("start ").size(), 1u);
    EXPECT_EQ(sink.Dump().find("echoed-secret"), std::string::npos) << sink.Dump();
    EXPECT_TRUE(sink.Has("[Operations::AsUser::RunOperationByUserExtension]Execute fail ! sub-process return code : 17"));
    EXPECT_TRUE(sink.Has("[Operations::AsUser::RunOperationByUserExtension]JSON field [content] is missing !"));
    EXPECT_TRUE(sink.Has("[Operations::AsUser::RunOperationByUserExtension]invalid data structure returned by the "
                         "sub-process ! current structure : []"));
    EXPECT_TRUE(sink.Has("[Operations::AsUser::MakeFolderAsUser]invalid data structure returned by the sub-process ! "
                         "current structure : null"));
    EXPECT_TRUE(sink.Has("[Operations::AsUser::RunOperationByUserExtension]Fail to run the requested operation."));
    EXPECT_TRUE(sink.Has("[UserExtension::RunOperation]client disconnected"));
}

TEST_F(OperationsAsUser, ReplyAboveTheLimitIsRefusedAsMalformed) {
    struct Case {
        std::size_t bytes;
        std::uint32_t code;  // a reply read whole is no JSON here: 2
        bool refused;
    } cases[] = {{16777216, 2, false}, {16777217, 3, true}};
    const std::string refused = "[UserExtension::RunOperation]reply refused : larger than 16777216 bytes.";
    for (const Case& c : cases) {
        SetReply("#bytes " + std::to_string(c.bytes));
        JSON::ValuePtr content;
        EXPECT_EQ(AsUser::RunOperationByUserExtension(Request("id-big"), "run", nullptr, content), c.code) << c.bytes;
        EXPECT_FALSE(content) << c.bytes;
        EXPECT_EQ(sink.Has(refused), c.refused) << c.bytes << "\n" << sink.Dump();
    }
}

// The fake reads each request and answers late or never. With the margin shrunk to 0.5 s, an
// exchange ends at the request's own limit plus the margin, and one without limit waits.
TEST_F(OperationsAsUser, ExchangeIsBoundedByTheRequestsOwnLimitPlusTheMargin) {
    UserExtension::SetExchangeMargin(500);
    enum Verb { kExecute, kMkdir };
    struct Case {
        const char* name;
        const char* reply;
        Verb verb;
        std::uint32_t timeout;  // of an Execute
        std::uint32_t code;
        ULONGLONG least;        // ms the call takes at least; at most 3 s more
        const char* givenUp;    // the bound logged, or nothing
    } cases[] = {
        {"mkdir never answered", "#hang", kMkdir, 0, 2, 500, "500"},
        {"execute without a wait answered after 1 s", R"(#late 1000 {"rc":0,"content":5})", kExecute, 0, 2, 500,
         "500"},
        {"execute of 1 s never answered", "#hang", kExecute, 1000, 2, 1500, "1500"},
        {"execute of 1 s answered after 0.75 s", R"(#late 750 {"rc":0,"content":5})", kExecute, 1000, 0, 750,
         nullptr},
        {"execute without limit answered after 0.75 s", R"(#late 750 {"rc":0,"content":5})", kExecute, INFINITE, 0,
         750, nullptr},
    };
    const OrdanaRequestInfo info = Request("id-hang");
    bool created = false;
    ASSERT_EQ(AsUser::MakeFolderAsUser(info, "C:\\warm", created), 0u) << "the extension serves";
    for (const Case& c : cases) {
        SetReply(c.reply);
        const std::string givenUp = std::string("[UserExtension::RunOperation]exchange with the sub-process given "
                                                "up after ") +
                                    (c.givenUp ? c.givenUp : "-") + " ms.";
        const std::size_t before = Count(sink, givenUp);
        const ULONGLONG start = ::GetTickCount64();
        std::int32_t exitCode = 0;
        std::future<std::uint32_t> call = std::async(std::launch::async, [&] {
            if (c.verb == kExecute) return AsUser::ExecuteCommandAsUser(info, {"prog"}, exitCode, c.timeout, false);
            return AsUser::MakeFolderAsUser(info, "C:\\x", created);
        });
        // A lost deadline fails here within seconds instead of holding the run: ending the
        // extension breaks its pipe and lets the call return.
        const ULONGLONG wait = c.least + 5000;
        if (call.wait_for(std::chrono::milliseconds(wait)) == std::future_status::timeout) {
            ADD_FAILURE() << c.name << ": the exchange was not given up within " << wait << " ms";
            EndExtensions();
            call.wait();
            return;
        }
        const std::uint32_t code = call.get();
        const ULONGLONG took = ::GetTickCount64() - start;
        EXPECT_EQ(code, c.code) << c.name;
        EXPECT_GE(took, c.least) << c.name;
        EXPECT_LT(took, c.least + 3000) << c.name;
        EXPECT_EQ(Count(sink, givenUp), before + (c.givenUp ? 1 : 0)) << c.name << "\n" << sink.Dump();
    }
    // Nothing of the extension stays held: it serves the next request and stops at once.
    SetReply(R"({"rc":0,"content":true})");
    EXPECT_EQ(AsUser::MakeFolderAsUser(info, "C:\\after", created), 0u) << sink.Dump();
    std::shared_ptr<UserExtension> extension = SharedData::GetExtension(info);
    ASSERT_TRUE(extension);
    EXPECT_TRUE(extension->Kill());
}

// A request that waits without limit on a fake that never answers: the stop order ends it.
VAROMET_CHILD_CASE(StopOrderEndsAnExchangeWithoutLimit) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    extension_test::TestSessions sessions;
    sessions.active = 100000 + ::GetCurrentProcessId();
    ScopedSessionEnumerator installedSessions(sessions);
    Config::Init("no-launcher.conf");
    Config::ActivateOption(65);
    const OrdanaRequestInfo info("id-stop", "TGT-1-x", "", "", "", DaemonVersion(2, 1));
    std::thread stopper([] {
        ::Sleep(1500);
        G_STOP = true;
    });
    const ULONGLONG start = ::GetTickCount64();
    std::int32_t exitCode = 0;
    const std::uint32_t code = AsUser::ExecuteCommandAsUser(info, {"prog"}, exitCode, INFINITE, false);
    const ULONGLONG took = ::GetTickCount64() - start;
    stopper.join();
    installedSink.Restore();
    std::printf("code %u after %llu ms\n%s", code, static_cast<unsigned long long>(took), sink.Dump().c_str());
    std::fflush(stdout);
    return 0;
}

TEST_F(OperationsAsUser, StopOrderEndsAnExchangeWithoutLimit) {
    SetReply("#hang");
    Launcher run(folder, {L"--child-case=StopOrderEndsAnExchangeWithoutLimit"}, {}, extension_test::ThisProgram());
    ASSERT_TRUE(run.Started());
    ASSERT_EQ(run.WaitForExit(20000), std::optional<DWORD>(0)) << run.Output();
    const std::string output = run.Output();
    unsigned code = 0;
    unsigned long long took = 0;
    ASSERT_EQ(std::sscanf(output.c_str(), "code %u after %llu ms", &code, &took), 2) << output;
    EXPECT_EQ(code, 2u) << output;
    EXPECT_GE(took, 1500u) << output;
    EXPECT_LT(took, 4500u) << output;
    EXPECT_NE(output.find("\n[UserExtension::RunOperation]GLOBAL STOP ORDER ! exchange with the sub-process given "
                          "up.\n"),
              std::string::npos)
        << output;
}

TEST_F(OperationsAsUser, RequestsCarryTheArgumentsAsTheFarSideReadsThem) {
    const OrdanaRequestInfo info = Request("id-texts");
    const std::string cinfo = info.toJSON()->Dump();
    std::int32_t exitCode = 0;
    bool created = false;
    SetReply(R"({"rc":0,"content":0})");
    EXPECT_EQ(AsUser::ExecuteCommandAsUser(info, {"prog", "", "b c"}, exitCode, 4294967295u, true), 0u);
    SetReply(R"({"rc":0,"content":true})");
    EXPECT_EQ(AsUser::PostMessageToWindowAsUser(info, "TrayClass", 1049, std::numeric_limits<std::uint64_t>::max(),
                                                -1),
              0u);
    EXPECT_EQ(AsUser::MakeFolderAsUser(info, "C:\\a b", created), 0u);
    EXPECT_TRUE(created);
    JSON::ValuePtr content;
    EXPECT_EQ(AsUser::RunOperationByUserExtension(info, "ping", nullptr, content), 0u);
    const std::vector<std::string> requests = RecordWith("request ");
    const std::vector<std::string> expected = {
        "request {\"op\": \"run\", \"cinfo\": " + cinfo +
            R"(, "args": {"action": "Execute", "cmd": ["prog", "", "b c"], "runas": true, "timeout": -1}})",
        "request {\"op\": \"postStatus\", \"cinfo\": " + cinfo +
            R"(, "args": {"wnd": "TrayClass", "label": "1049", "lparam": "-1", "wparam": "18446744073709551615"}})",
        "request {\"op\": \"run\", \"cinfo\": " + cinfo + R"(, "args": {"action": "mkdir", "path": "C:\\a b"}})",
        "request {\"op\": \"ping\", \"cinfo\": " + cinfo + R"(, "args": null})",
    };
    EXPECT_EQ(requests, expected);
    // The extension needs the ticket; the logs never show it.
    ASSERT_FALSE(requests.empty());
    EXPECT_NE(requests[0].find("TGT-4711-secret-ticket-value"), std::string::npos);
    EXPECT_EQ(sink.Dump().find("secret-ticket-value"), std::string::npos) << sink.Dump();
    EXPECT_TRUE(sink.Has("[Operations::AsUser::PostMessageToWindowAsUser]try to post this message AsUser : "
                         "windows:[TrayClass]//label:[1049]//wparam:[18446744073709551615]//lparam:[-1]"));
    EXPECT_TRUE(sink.Has("[Operations::AsUser::ExecuteCommandAsUser]try to launch this command-line AsUser :\n"
                         "prog  b c"));
}

TEST_F(OperationsAsUser, MakeFolderWithAnEmptyPathSendsNothing) {
    bool created = true;
    EXPECT_EQ(AsUser::MakeFolderAsUser(Request("id-empty"), "", created), 0u);
    EXPECT_FALSE(created);
    EXPECT_TRUE(sink.Has("[Operations::AsUser::MakeFolderAsUser]empty string was gave."));
    EXPECT_TRUE(Record().empty());
}

TEST_F(OperationsAsUser, NoSessionMeansNoExtension) {
    sessions.active = -1;
    bool created = false;
    EXPECT_EQ(AsUser::MakeFolderAsUser(Request("id-nowhere"), "C:\\x", created), 2u);
    EXPECT_TRUE(sink.Has("[Operations::AsUser::RunOperationByUserExtension]Fail to retrieve user Extension."));
    EXPECT_TRUE(Record().empty());
}

TEST_F(OperationsAsUser, FolderMakerOfTheLauncherGoesThroughTheExtension) {
    Operations::LocalOperationsFolderMaker maker;
    bool created = false;
    EXPECT_EQ(maker.MakeFolderAsUser(Request("id-maker"), "C:\\made", created), 0);
    EXPECT_TRUE(created);
    ASSERT_EQ(RecordWith("request ").size(), 1u);
    EXPECT_NE(RecordWith("request ")[0].find(R"("args": {"action": "mkdir", "path": "C:\\made"})"), std::string::npos);
}

// ---- the launcher itself as the extension ----

std::string ChildVariable(const char* name) {
    char buffer[2048] = {};
    DWORD got = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return got > 0 && got < sizeof buffer ? std::string(buffer, got) : std::string();
}

int Fail(int code, ScopedLogSink& installedSink, RecordingSink& sink, const std::string& why) {
    installedSink.Restore();
    std::printf("%s\n%s", why.c_str(), sink.Dump().c_str());
    std::fflush(stdout);
    return code;
}

// Test mode with the product as the extension: "mkdir" and "Execute" through it, then the
// stop message.
VAROMET_CHILD_CASE(ProductAsExtension) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    extension_test::TestSessions sessions;
    sessions.active = 100000 + ::GetCurrentProcessId();
    ScopedSessionEnumerator installedSessions(sessions);
    const std::string folder = ChildVariable("VAROMET_TEST_EXT_DIR");
    Config::Init(folder + "\\no-launcher.conf");
    Config::ActivateOption(65);
    ToolBox::SetEnv("WEX_TRQ_TMP", folder);
    ToolBox::SetEnv("TRQ_LAUNCHER_GUIEXE_PATH", Narrow(BuiltProgram(VAROMET_PRODUCT_EXE)));

    const OrdanaRequestInfo info("id-product", "TGT-1-x", "", "", "", DaemonVersion(2, 1));
    bool created = false;
    const std::string target = folder + "\\made by\\the extension";
    std::uint32_t code = AsUser::MakeFolderAsUser(info, target, created);
    if (code != 0 || !created) return Fail(10, installedSink, sink, "mkdir code " + std::to_string(code));
    if (!ToolBox::File::IsDirectory(target)) return Fail(11, installedSink, sink, "no folder");
    std::int32_t exitCode = 0;
    code = AsUser::ExecuteCommandAsUser(info, {Narrow(BuiltProgram(VAROMET_EXEC_HELPER_EXE)), "exit", "7"}, exitCode,
                                        20000, false);
    if (code != 0 || exitCode != 7) {
        return Fail(12, installedSink, sink,
                    "execute code " + std::to_string(code) + " exit " + std::to_string(exitCode));
    }
    std::shared_ptr<UserExtension> extension = SharedData::GetExtension(info);
    if (!extension) return Fail(13, installedSink, sink, "no extension");
    const DWORD pid = extension->ProcessId();
    if (!extension->Kill()) return Fail(14, installedSink, sink, "kill failed");
    if (!ProcessEnds(pid, 10000)) return Fail(15, installedSink, sink, "the launcher did not end on STOP");
    extension.reset();
    SharedData::ResetForTests();
    return 0;
}

TEST(ProductAsUserExtension, MkdirAndExecuteRunThroughTheLauncherAndStopEndsIt) {
    TestFolder folder;
    ::SetEnvironmentVariableW(L"VAROMET_TEST_EXT_DIR", folder.Path().c_str());
    ChildProcess::Result run = ChildProcess::Run("ProductAsExtension");
    ::SetEnvironmentVariableW(L"VAROMET_TEST_EXT_DIR", nullptr);
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
}

}  // namespace
