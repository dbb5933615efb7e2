// Run mode through the real program: requests and replies on its pipe, exact bytes, and
// the ways the server ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FakeServicePipe.h"
#include "LauncherTestSupport.h"

namespace {

constexpr DWORD kExitWait = 15000;

// {"pad":"ppp...","op":"nosuchop","args":null} of exactly size bytes: only a request that
// arrived whole parses, and then it is answered 17.
std::string PaddedRequest(std::size_t size) {
    const std::string head = "{\"pad\":\"";
    const std::string tail = "\",\"op\":\"nosuchop\",\"args\":null}";
    return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

class RunMode : public ::testing::Test {
protected:
    std::vector<std::wstring> RunArgs() const { return {L"run", pipe}; }

    // Sends STOP and waits for the launcher to end.
    std::optional<DWORD> Stop(Launcher& launcher) {
        PipeClient client;
        EXPECT_EQ(client.Open(pipe), 0u);
        EXPECT_EQ(client.Write("STOP"), 0u);
        return launcher.WaitForExit(kExitWait);
    }

    // A failure ends the server only when its next pass begins, that is when a client connects:
    // connect until it has ended.
    std::optional<DWORD> WakeUntilExit(Launcher& launcher) {
        for (int i = 0; i < 50; ++i) {
            if (auto code = launcher.WaitForExit(100)) return code;
            PipeClient client;
            if (client.Open(pipe, 1000) == 0) {
                client.Write(PaddedRequest(64), 2000);
                std::string ignored;
                client.Read(ignored, 2000);
            }
        }
        return launcher.WaitForExit(kExitWait);
    }

    // Each daily log file of the folder: its path and its text.
    std::vector<std::pair<std::string, std::string>> DailyLogs() const {
        std::vector<std::pair<std::string, std::string>> logs;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder.Path())) {
            if (!entry.is_regular_file() || entry.path().extension() != ".txt") continue;
            std::ifstream in(entry.path(), std::ios::binary);
            logs.emplace_back(entry.path().string(),
                              std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
        }
        return logs;
    }

    TestFolder folder;
    const std::wstring pipe = UniquePipeName();
};

TEST_F(RunMode, RequestsOfAnySizeArriveWholeAndGetTheExactReply) {
    struct Case {
        std::size_t size;
        int rc;
    };
    const Case cases[] = {{1, 18}, {4096, 17}, {4097, 17}, {10000, 17}, {1 << 20, 17}};
    Launcher launcher(folder, RunArgs());
    for (const Case& c : cases) {
        const std::string request = c.size == 1 ? std::string("x") : PaddedRequest(c.size);
        ASSERT_EQ(request.size(), c.size);
        Reply reply = Exchange(pipe, request);
        EXPECT_EQ(reply.error, 0u) << c.size << " bytes";
        EXPECT_EQ(reply.text, ReplyText(c.rc)) << c.size << " bytes";
    }
    EXPECT_EQ(Stop(launcher), 0u);
    // The log shows the text as received (lines are cut beyond 40960 bytes).
    const std::string output = launcher.Output();
    for (const Case& c : cases) {
        if (c.size > 10000) continue;
        const std::string request = c.size == 1 ? std::string("x") : PaddedRequest(c.size);
        EXPECT_NE(output.find("[Backbone::threadFunc] msg content : " + request + "\n"), std::string::npos)
            << c.size << " bytes";
    }
}

TEST_F(RunMode, RequestOverSixteenMegabytesIsRefusedWith18AndOthersAreServed) {
    constexpr std::size_t kBound = 16u << 20;
    struct Case {
        std::size_t size;
        int rc;
    };
    // The last is still being written long after the bound: it is read to its end, not kept.
    // Each request must arrive whole within the server's 30 s, even on a loaded machine: the
    // last goes 4 MiB past the bound, not 32.
    const Case cases[] = {{kBound, 17}, {kBound + 1, 18}, {kBound + (4u << 20), 18}};
    Launcher launcher(folder, RunArgs());
    for (const Case& c : cases) {
        Reply big;
        std::thread sender([&] { big = Exchange(pipe, PaddedRequest(c.size)); });
        const Reply other = Exchange(pipe, R"({"op":"nosuchop","args":null})");
        sender.join();
        EXPECT_EQ(big.error, 0u) << c.size << " bytes";
        EXPECT_EQ(big.text, ReplyText(c.rc)) << c.size << " bytes";
        EXPECT_EQ(other.text, ReplyText(17)) << "beside " << c.size << " bytes";
    }
    // Not a client failure: the server goes on to an orderly stop.
    EXPECT_EQ(Stop(launcher), 0u);
    const std::string output = launcher.Output();
    const std::string refused = "{ERROR}:[Backbone::threadFunc]request refused : larger than 16777216 bytes.\n";
    std::size_t count = 0;
    for (std::size_t at = output.find(refused); at != std::string::npos; at = output.find(refused, at + 1)) ++count;
    EXPECT_EQ(count, 2u);
}

TEST_F(RunMode, DispatcherAnswersEveryKindOfRequest) {
    struct Case {
        std::string request;
        int rc;
    };
    const std::string deep = std::string(600, '[') + std::string(600, ']');
    const Case cases[] = {
        // 16: no "args", even for an op of the table.
        {R"({"op":"postStatus"})", 16},
        {R"({"op":"nosuchop"})", 16},
        {R"({"op":"nosuchop","cinfo":{},"arg":null})", 16},
        // 17: an op outside the table, a missing or non-string op.
        {R"({"op":"nosuchop","args":null})", 17},
        {R"({"args":null})", 17},
        {R"({"op":5,"args":{}})", 17},
        {R"({"op":null,"args":[]})", 17},
        {R"({"op":"PostStatus","args":null})", 17},
        {R"({"op":"Exe","args":"x"})", 17},
        {R"({"op":"Update","args":null})", 17},
        {R"({"op":"update","args":null})", 15},
        {R"({"op":"bind","args":null})", 100},
        {R"({"op":"init","args":null})", 102},
        {R"({"op":"Run","args":null})", 17},
        {R"({"op":"run","args":null})", 15},
        {R"({"cinfo":[1],"op":"nosuchop","args":null})", 17},
        {" \r\n {\"op\" : \"nosuchop\" , \"args\" : null} \n", 17},
        // 18: no document.
        {"STOP\n", 18},
        {"stop", 18},
        {"not json", 18},
        {R"({"op":"nosuchop","args":null)", 18},
        {R"({"op":"nosuchop","args":null}{})", 18},
        {"5", 18},
        {"\"text\"", 18},
        {"null", 18},
        {"true", 18},
        {deep, 18},
        // An array has no members at all: no "args".
        {"[]", 16},
        {R"([{"op":"nosuchop","args":null}])", 16},
        // Ops built so far, with unusable arguments.
        {R"({"op":"postStatus","args":null})", 71},
    };
    Launcher launcher(folder, RunArgs());
    for (const Case& c : cases) {
        Reply reply = Exchange(pipe, c.request);
        EXPECT_EQ(reply.error, 0u) << c.request.substr(0, 80);
        EXPECT_EQ(reply.text, ReplyText(c.rc)) << c.request.substr(0, 80);
    }
    EXPECT_EQ(Stop(launcher), 0u);
}

TEST_F(RunMode, ConcurrentClientsEachGetTheirOwnReply) {
    struct Kind {
        std::string request;
        int rc;
    };
    const Kind kinds[] = {
        {R"({"op":"nosuchop"})", 16},
        {R"({"op":"nosuchop","args":null})", 17},
        {"not json", 18},
        {R"({"op":"postStatus","args":{"wnd":"x"}})", 71},
        {R"({"op":"postStatus","args":{"wnd":"x","label":"abc","lparam":"0","wparam":"0"}})", 21},
    };
    constexpr int kClients = 32;
    Launcher launcher(folder, RunArgs());
    // Every client is connected before any of them writes.
    std::atomic<int> connected{0};
    std::vector<Reply> replies(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            PipeClient client;
            replies[i].error = client.Open(pipe, 30000);
            connected.fetch_add(1);
            if (replies[i].error != 0) return;
            while (connected.load() < kClients) ::Sleep(1);
            if ((replies[i].error = client.Write(kinds[i % 5].request)) != 0) return;
            replies[i].error = client.Read(replies[i].text);
        });
    }
    for (std::thread& t : clients) t.join();
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(replies[i].error, 0u) << "client " << i;
        EXPECT_EQ(replies[i].text, ReplyText(kinds[i % 5].rc)) << "client " << i;
    }
    EXPECT_EQ(Stop(launcher), 0u);
}

TEST_F(RunMode, ClientsBeyond255HeldConnectionsAreServed) {
    // 255 connections hold as many instances as a limited pipe allows; five more come on top.
    // Where the limit holds, they wait for a released instance; where it does not (Wine), they
    // are served at once. Either way nobody is refused and the server does not end.
    constexpr int kHolders = 255;
    constexpr int kLatecomers = 5;
    Launcher launcher(folder, RunArgs());
    std::vector<PipeClient> holders(kHolders);
    std::vector<Reply> replies(kHolders + kLatecomers);
    std::vector<std::thread> threads;
    std::atomic<int> connected{0};
    for (int i = 0; i < kHolders; ++i) {
        threads.emplace_back([&, i] {
            replies[i].error = holders[i].Open(pipe, 60000);
            connected.fetch_add(1);
        });
    }
    for (std::thread& t : threads) t.join();
    threads.clear();
    ASSERT_EQ(connected.load(), kHolders);
    for (int i = 0; i < kHolders; ++i) ASSERT_EQ(replies[i].error, 0u) << "holder " << i;
    // Each latecomer tries once while every holder holds: it is served there and then, or told
    // the pipe is busy and waits for an instance like any client.
    std::atomic<int> tried{0};
    for (int i = kHolders; i < kHolders + kLatecomers; ++i) {
        threads.emplace_back([&, i] {
            const std::string request = R"({"op":"nosuchop","args":null})";
            PipeClient first;
            const DWORD opened = first.Open(pipe, 0);
            tried.fetch_add(1);
            if (opened != 0) {
                replies[i] = Exchange(pipe, request);
            } else if ((replies[i].error = first.Write(request)) == 0) {
                replies[i].error = first.Read(replies[i].text);
            }
        });
    }
    const ULONGLONG end = ::GetTickCount64() + 30000;
    while (tried.load() < kLatecomers && ::GetTickCount64() < end) ::Sleep(10);
    // Not an assertion: the threads must still be joined.
    EXPECT_EQ(tried.load(), kLatecomers);
    for (int i = 0; i < kHolders; ++i) {
        threads.emplace_back([&, i] {
            if ((replies[i].error = holders[i].Write(R"({"op":"nosuchop"})")) != 0) return;
            replies[i].error = holders[i].Read(replies[i].text);
        });
    }
    for (std::thread& t : threads) t.join();
    for (int i = 0; i < kHolders + kLatecomers; ++i) {
        EXPECT_EQ(replies[i].error, 0u) << "client " << i;
        EXPECT_EQ(replies[i].text, ReplyText(i < kHolders ? 16 : 17)) << "client " << i;
    }
    holders.clear();
    EXPECT_EQ(Stop(launcher), 0u);
    EXPECT_EQ(launcher.Output().find("[Backbone::Run]Failed to create namedpipe pipe instance."), std::string::npos);
}

TEST_F(RunMode, StopEndsTheServerWithoutReplyOrNotice) {
    FakeServicePipe service;
    ASSERT_TRUE(service.Serving());
    Launcher launcher(folder, RunArgs());
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    ASSERT_EQ(client.Write("STOP"), 0u);
    std::string reply;
    // The server drops this connection without a message.
    const DWORD error = client.Read(reply);
    EXPECT_TRUE(error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE) << error;
    EXPECT_EQ(reply, "");
    EXPECT_EQ(launcher.WaitForExit(kExitWait), 0u);
    // This very connection leaves no instance free: the stop must not wait the 5 s a pipe
    // instance is waited for.
    const std::optional<std::int64_t> stopping =
        LoggedMilliseconds(launcher.Output(), "[Backbone::threadFunc] msg content : STOP",
                           "[Backbone::threadFunc] STOP recieved > stop all !");
    ASSERT_TRUE(stopping.has_value()) << launcher.Output();
    EXPECT_LT(*stopping, 4500);
    EXPECT_EQ(service.Connections(), 0u);
    EXPECT_TRUE(service.Messages().empty());
}

TEST_F(RunMode, ClientThatConnectsAndLeavesEndsTheServerWith160) {
    Launcher launcher(folder, RunArgs());
    {
        PipeClient client;
        ASSERT_EQ(client.Open(pipe), 0u);
    }
    EXPECT_EQ(WakeUntilExit(launcher), 160u);
    EXPECT_NE(launcher.Output().find("[Backbone::threadFunc]client disconnected. ( err:109 )"), std::string::npos);
}

TEST_F(RunMode, EmptyMessageEndsTheServerWith160) {
    Launcher launcher(folder, RunArgs());
    PipeClient client;
    ASSERT_EQ(client.Open(pipe), 0u);
    ASSERT_EQ(client.Write(""), 0u);
    std::string reply;
    EXPECT_NE(client.Read(reply), 0u) << "an empty message gets no reply";
    client.Close();
    EXPECT_EQ(WakeUntilExit(launcher), 160u);
    const std::string output = launcher.Output();
    EXPECT_NE(output.find("[Backbone::threadFunc]No data."), std::string::npos);
    EXPECT_NE(output.find("[Backbone::Run]thread failure detected ! aborting ..."), std::string::npos);
}

TEST_F(RunMode, ClientThatLeavesBeforeItsReplyEndsTheServerWith161) {
    Launcher launcher(folder, RunArgs());
    {
        // The request is written and the connection closed before the server can answer.
        PipeClient client;
        ASSERT_EQ(client.Open(pipe), 0u);
        ASSERT_EQ(client.Write(PaddedRequest(100000)), 0u);
    }
    EXPECT_EQ(WakeUntilExit(launcher), 161u) << launcher.Output().substr(0, 20000);
    EXPECT_NE(launcher.Output().find("[Backbone::threadFunc] fail to reply with this content : " + ReplyText(17)),
              std::string::npos);
}

TEST_F(RunMode, WrongArgumentCountExitsWith14) {
    // The command line is logged first: an argument cannot begin a line of the log either.
    const std::vector<std::wstring> cases[] = {
        {L"run"}, {L"run", pipe, L"extra\n<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED"}};
    for (const auto& args : cases) {
        Launcher launcher(folder, args);
        EXPECT_EQ(launcher.WaitForExit(kExitWait), 14u) << args.size() << " arguments";
        const std::string output = launcher.Output();
        EXPECT_NE(output.find("[Backbone::Run] Invalid Run Command-line ! [arg count : " +
                              std::to_string(args.size() + 1) + " )"),
                  std::string::npos);
        EXPECT_EQ(output.find("\n<2001_01_01"), std::string::npos) << output;
    }
}

TEST_F(RunMode, PipeThatCannotBeCreatedExitsWith164) {
    // Not a pipe name: the first instance cannot be made, and waiting would not help.
    Launcher launcher(folder, {L"run", L"not-a-pipe-name"});
    EXPECT_EQ(launcher.WaitForExit(kExitWait), 164u);
    EXPECT_NE(launcher.Output().find("[Backbone::Run]Failed to create namedpipe pipe instance."), std::string::npos);
}

TEST_F(RunMode, NameAlreadyServedExitsWith164) {
    // Another server's instance, with the launcher's own settings: only the claim on the name
    // keeps the launcher from adding its instances beside it.
    ZYNSysKernelHandle other(::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                                PIPE_UNLIMITED_INSTANCES, 8192, 8192, 5000, nullptr));
    ASSERT_TRUE(other);
    ZYNSysKernelHandle claim(::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                                PIPE_TYPE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr));
    if (claim) GTEST_SKIP() << "this platform makes a first instance of a name already served (Wine)";
    Launcher launcher(folder, RunArgs());
    EXPECT_EQ(launcher.WaitForExit(kExitWait), 164u);
    EXPECT_NE(launcher.Output().find("[Backbone::Run]Failed to create namedpipe pipe instance."), std::string::npos)
        << launcher.Output();
}

TEST_F(RunMode, SecretsInRequestsNeverReachTheLog) {
    const std::string helper = JsonQuoted(Narrow(BuiltProgram(VAROMET_EXEC_HELPER_EXE)));
    struct Case {
        const char* name;
        std::string request;
        std::string reply;
        std::vector<std::string> secrets;  // what no line of the log may hold
    } cases[] = {
        {"ticket and cookie",
         R"({"cinfo":{"cId":"a","cCas":"TGT-0123456789-requestsecret","pVersion":"1.0.0"},"op":"nosuchop",)"
         R"("args":"CASTGC=TGT-9876543210-cookiesecret; path=/"})",
         ReplyText(17), {"0123456789-requestsecret", "9876543210-cookiesecret"}},
        {"cookie on a command line",
         R"({"op":"run","args":{"action":"Execute","cmd":[)" + helper +
             R"(,"exit","0","CASTGC=TGT-5555555555-commandsecret"],"timeout":20000}})",
         "{\"rc\": 0, \"content\": 0}", {"5555555555-commandsecret"}},
        {"ticket under an escaped name",
         R"({"cinfo":{"cId":"a","c\u0043as":"TGT-1111111111-escapedsecret"},"op":"nosuchop","args":null})",
         ReplyText(17), {"1111111111-escapedsecret"}},
        {"ticket under a stray escape",
         R"({"cinfo":{"c\Cas":"TGT-2222222222-strayescape"},"op":"nosuchop","args":null})", ReplyText(17),
         {"2222222222-strayescape"}},
        {"ticket after stray characters",
         R"({"cinfo":{"cCas" x :"TGT-3333333333-straycharacters"},"op":"nosuchop","args":null})", ReplyText(17),
         {"3333333333-straycharacters"}},
        {"cookie member under an escaped name",
         R"({"op":"run","args":["CAS\u0054GC", {"CAS\u0054GC":"TGT-4444444444-cookiemember"}]})", ReplyText(15),
         {"4444444444-cookiemember"}},
        {"ticket in a URL, no name nor escape",
         R"({"op":"run","args":{"action":"CallWS","url":"http://127.0.0.1:1/app?ticket=ST-6666666666-urlticket",)"
         R"("arg":"","noAuth":true}})",
         ReplyText(154), {"6666666666-urlticket"}},
    };
    Launcher launcher(folder, RunArgs());
    for (const Case& c : cases) {
        Reply reply = Exchange(pipe, c.request);
        EXPECT_EQ(reply.text, c.reply) << c.name;
    }
    EXPECT_EQ(Stop(launcher), 0u);
    std::vector<std::pair<std::string, std::string>> logs = DailyLogs();
    ASSERT_GE(logs.size(), 1u) << "no log file";
    // The log file as well as the echo.
    logs.emplace_back("output", launcher.Output());
    for (const auto& [where, text] : logs) {
        EXPECT_NE(text.find("[Backbone::threadFunc] msg content : "), std::string::npos) << where;
        EXPECT_NE(text.find("[Operations::Local::ExecuteCmd]Try to launch command : ["), std::string::npos) << where;
        for (const Case& c : cases) {
            for (const std::string& secret : c.secrets) {
                const std::size_t at = text.find(secret);
                EXPECT_EQ(at, std::string::npos)
                    << c.name << " in " << where << ": " << text.substr(text.rfind('\n', at) + 1, 300);
            }
        }
    }
}

// A client's line break would begin a line of its own making: a request, an op, an id, a version,
// a path and an action each try to write a line that looks like the logger's.
TEST_F(RunMode, ClientTextCannotBeginALineOfTheLog) {
    const std::string forged = "<2001_01_01-000000.000+0000i>(4242){ERROR}:[Backbone::Run]FORGED";
    const std::string escaped = "\\n" + forged;  // in a JSON string
    std::string made = JsonQuoted(Narrow(folder.In(L"made")));
    made.pop_back();  // the closing quote
    struct Case {
        const char* name;
        std::string request, reply;
        std::string logged;  // a piece of one line of the log
    } cases[] = {
        {"a request that is no JSON", "x\n" + forged + " request", ReplyText(18),
         "[Backbone::threadFunc] msg content : x\\n" + forged + " request"},
        {"a pretty-printed request", "{\r\n  \"op\": \"nosuchop\",\n  \"args\": null\n}", ReplyText(17),
         "[Backbone::Process]process by pass on string : {\\r\\n  \"op\": \"nosuchop\",\\n  \"args\": null\\n}"},
        {"an op", R"({"op":"x)" + escaped + R"( op","args":null})", ReplyText(17),
         "[Backbone::Process]operation To do : [x\\n" + forged + " op]"},
        {"an id", R"({"cinfo":{"cId":"a)" + escaped + R"( id","cCas":"TGT-1-abcdefghij","pVersion":"1.0"},)"
                  R"("op":"nosuchop","args":null})",
         ReplyText(17), "OrdanaRequestInfo[ordanaId='a\\n" + forged + " id',casTgc='TGT-***(16)'"},
        {"a version", R"({"cinfo":{"cId":"a","pVersion":"1.0\r)" + escaped + R"( version"},"op":"x","args":null})",
         ReplyText(17), "[DaemonVersion::Parse]try to parse version string : 1.0\\r\\n" + forged + " version"},
        {"a path", R"({"op":"run","args":{"action":"mkdir","path":)" + made + "\\r" + escaped + R"( path"}})",
         "{\"rc\": 0, \"content\": false}", "made\\r\\n" + forged + " path"},
        {"an action", R"({"op":"run","args":{"action":"x)" + escaped + R"( action"}})", ReplyText(149),
         "[Backbone::Process] action to run : x\\n" + forged + " action"},
    };
    std::ofstream(std::filesystem::path(folder.In(L"launcher.conf")), std::ios::binary) << "LOGLEVEL=all\n";
    Launcher launcher(folder, RunArgs(), {{L"TrqConfPath", folder.In(L"launcher.conf")}});
    for (const Case& c : cases) EXPECT_EQ(Exchange(pipe, c.request).text, c.reply) << c.name;
    EXPECT_EQ(Stop(launcher), 0u);
    // A header line, a line queued before the logger began, or a line of the logger's form.
    const std::string stamp = R"(\d{4}_\d\d_\d\d-\d{6})", zone = R"((\(\?\)|[+-]\d{4}[sdi]))";
    const std::regex form("#{74}|.+\\[" + stamp + zone + "\\]|\\|#LNI#\\|.*|<" + stamp + "\\.\\d{3}" + zone +
                          ">\\(\\d+\\)\\{(INTERNAL|DEBUG|INFO |WARN |ERROR)\\}:.*");
    const auto logs = DailyLogs();
    ASSERT_EQ(logs.size(), 1u) << "one daily log";
    std::string text = logs[0].second;
    std::erase(text, '\r');
    // From the first request on: the start's own messages of several lines (the configuration,
    // the old logs) come before.
    const std::size_t first = text.find("[Backbone::threadFunc] try read data...");
    ASSERT_NE(first, std::string::npos) << text;
    for (std::size_t at = text.rfind('\n', first) + 1, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        EXPECT_TRUE(std::regex_match(line, form)) << line;
        EXPECT_FALSE(line.starts_with("<2001_01_01")) << line;
    }
    for (const Case& c : cases) EXPECT_NE(text.find(c.logged), std::string::npos) << c.name << ": " << c.logged;
}

TEST_F(RunMode, PipeClientToolPrintsTheReplyAndSendsStop) {
    Launcher launcher(folder, RunArgs());
    ASSERT_TRUE(WaitForPipe(pipe, kExitWait));
    const std::wstring tool = BuiltProgram(VAROMET_PIPE_CLIENT_EXE);
    Launcher request(folder, {pipe, LR"({"op":"nosuchop","args":null})"}, {}, tool);
    EXPECT_EQ(request.WaitForExit(kExitWait), 0u);
    EXPECT_NE(request.Output().find(ReplyText(17) + "\n"), std::string::npos) << request.Output();
    EXPECT_NE(request.Output().find("reply in "), std::string::npos) << request.Output();
    Launcher stop(folder, {pipe, L"STOP"}, {}, tool);
    EXPECT_EQ(stop.WaitForExit(kExitWait), 0u);
    EXPECT_NE(stop.Output().find("STOP sent\n"), std::string::npos) << stop.Output();
    EXPECT_EQ(launcher.WaitForExit(kExitWait), 0u);
}

}  // namespace
