// The run action "CallWS" through the real launcher in run mode, against the local HTTP server
// (testing/http_server.py): exact replies, the lines the launcher logs for each request, and
// what the server saw. Process-wide cases (the stop order, the memory-check option) run in
// child processes calling Utils::callWebService directly.

#include <gtest/gtest.h>

#include "ZYNSysWin.h"

#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Config.h"
#include "Globals.h"
#include "Json.h"
#include "LauncherTestSupport.h"
#include "LocalHttpServer.h"
#include "LogSink.h"
#include "OrdanaRequestInfo.h"
#include "QORHttpCookie.h"
#include "QORHttpDriver.h"
#include "QORHttpDriverFactory.h"
#include "QORHttpHeapText.h"
#include "Utils.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kTicket = "TGT-424242-callwssecret";
// What the server adds to the Location it answers for "issue".
constexpr const char* kServiceTicket = "ST-1-issuedservicesecret";
constexpr const char* kIam = "header=X-QX-IAM-VERSION:%201";

std::string Percent(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/' || c == ':') {
            out.push_back(static_cast<char>(c));
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

// Paths carry the run's own mark: WinINet's cookie jar outlives the test process.
std::string RunMark() {
    static const std::string mark = std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount());
    return mark;
}

struct Answer {
    int rc = -1;
    std::string content = "<none>";
};

Answer Parse(const std::string& reply) {
    JSON::Builder builder;
    builder.ParseString(reply);
    const JSON::ValuePtr document = builder.Detach();
    Answer answer;
    if (!document) return answer;
    JSON::GetIntField("rc", answer.rc, document.get());
    JSON::GetStringField("content", answer.content, document.get());
    return answer;
}

class CallWS : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QORHttpGetDriverFactory().MakeWinINetDriver("probe", 1, 1))
            GTEST_SKIP() << "this build's HTTP stack makes no WinINet driver: every request would fail";
        ASSERT_NE(server.Port(), 0) << server.Error();
        std::ofstream(fs::path(served) / "hello.txt", std::ios::binary) << "hello web service";
        std::ofstream(fs::path(folder.In(L"launcher.conf")), std::ios::binary) << "LOGLEVEL=all\n";
    }

    // Where the CAS session check answers 404 (no session), below a folder of this run.
    std::string Url(const std::string& name, const std::string& rest) const {
        return server.Url("status=404/" + name + "-" + RunMark() + "/" + rest);
    }

    // How many requests the server got for the path (the query left out).
    int Count(const std::string& url) const {
        const std::string prefix = "http://127.0.0.1:" + std::to_string(server.Port());
        std::string path = url.substr(prefix.size());
        path = path.substr(0, path.find('?'));
        int count = 0;
        for (const std::string& line : server.Requests()) {
            const std::size_t space = line.find(' ');
            const std::string requested = line.substr(space + 1, line.find(' ', space + 1) - space - 1);
            count += requested.substr(0, requested.find('?')) == path;
        }
        return count;
    }

    static std::string Request(const std::string& cinfo, const std::string& url, const std::string& arg,
                               const std::string& noAuth) {
        return "{" + (cinfo.empty() ? std::string() : "\"cinfo\": " + cinfo + ", ") +
               R"("op": "run", "args": {"action": "CallWS", "url": )" + JsonQuoted(url) + ", \"arg\": " +
               JsonQuoted(arg) + (noAuth.empty() ? "" : ", \"noAuth\": " + noAuth) + "}}";
    }

    static std::string Cinfo(const std::string& ticket, const std::string& authUrl, const char* version = "2.1") {
        return R"({"cId": "a", "cCas": )" + JsonQuoted(ticket) + R"(, "cAuthWsUrl": )" + JsonQuoted(authUrl) +
               R"(, "pVersion": ")" + version + "\"}";
    }

    // The JSON escape of U+0000 in place of the ticket's '@'.
    static std::string NulInTicket(std::string cinfo) { return cinfo.replace(cinfo.find('@'), 1, "\\u0000"); }

    std::string DailyLog() const {
        std::string all;
        for (const auto& entry : fs::recursive_directory_iterator(folder.Path())) {
            if (entry.is_regular_file() && entry.path().extension() == ".txt") all += ReadAll(entry.path());
        }
        return all;
    }

    void Stop(Launcher& launcher) {
        PipeClient client;
        ASSERT_EQ(client.Open(pipe), 0u);
        EXPECT_EQ(client.Write("STOP"), 0u);
        EXPECT_EQ(launcher.WaitForExit(15000), 0u) << launcher.Output();
    }

    TestFolder folder;
    std::wstring served = [this] {
        fs::create_directories(fs::path(folder.In(L"srv")));
        return folder.In(L"srv");
    }();
    LocalHttpServer server{served};
    const std::wstring pipe = UniquePipeName();
};

TEST_F(CallWS, EachCallSendsOneRequestAndPlantsTheTicketWhereTheIdentityServiceAnswers) {
    const std::string echoIam = "echo?echo=1&" + std::string(kIam);
    const std::string chainC = Url("chain", "c?echo=1&" + std::string(kIam));
    const std::string chainB = Url("chain", "b?location=" + Percent(chainC));
    const std::string chainA = Url("chain", "a?location=" + Percent(chainB));
    const std::string ticketA =
        Url("st", "a?issue=" + Percent("/status=404/st-" + RunMark() + "/c?echo=1&" + std::string(kIam)));
    const std::string abaA = Url("aba", "a?bounce=" + Percent("/status=404/aba-" + RunMark() + "/b") + "&times=5");
    const std::string selfA = Url("self", "s?loop=1&echo=1");
    const std::string tgt = kTicket;
    const std::string cookieSent = "Cookie: CASTGC=" + tgt;
    struct Case {
        const char* name;
        std::string cinfo, url, arg, noAuth;
        int rc;
        std::string content;              // exact, or what the echo must hold ("" with rc 154)
        std::vector<std::string> logged;  // "{LEVEL}:" and the line, logged for this request
        std::vector<std::string> absent;  // texts no line of this request holds
        std::vector<std::pair<std::string, int>> counts;  // requests the server got, per path
        bool cookie;                      // the echo shows the ticket as a cookie
    } cases[] = {
        {"GET of a file without a ticket", "", server.Url("hello.txt"), "", "", 0, "hello web service",
         {"{DEBUG}:[Utils::callWebService]try n\xB0[0] to call the webservice with GET request to : " + server.Url("hello.txt"),
          "{INTERNAL}:[Utils::callWebService] operation  return code = 0",
          "{DEBUG}:[Utils::callWebService]Call success full :hello web service"},
         {"CASTGC !"}, {{server.Url("hello.txt"), 1}}, false},
        {"POST sends the argument as text", "", Url("post", "p"), "hello=1&b=2", "true", 0,
         "Content-Type: text/plain\r\n",
         {"{DEBUG}:[Utils::callWebService]try n\xB0[0] to call the webservice with POST request to : " + Url("post", "p"),
          "{INTERNAL}:[Utils::callWebService]{0}try to acces to [" + Url("post", "p") + "] with argument : [hello=1&b=2]"},
         {}, {{Url("post", "p"), 1}}, false},
        {"GET answered 404", "", server.Url("missing.txt"), "", "", 154, "",
         {"{INTERNAL}:[Utils::callWebService] operation  return code = -404",
          "{ERROR}:[Utils::callWebService]Post request fail ! ( rc : -404 ).",
          "{ERROR}:[Utils::callWebService]Fail to access Webservice behind [" + server.Url("missing.txt") + "] !"},
         {"Call success full"}, {{server.Url("missing.txt"), 1}}, false},
        {"POST answered 404", "", Url("p404", "p?status=404"), "x", "", 154, "",
         {"{ERROR}:[Utils::callWebService]Post request fail ! ( rc : -404 )."}, {}, {{Url("p404", "p"), 1}}, false},
        {"answer without a body", "", Url("empty", "e?status=204"), "", "", 154, "",
         {"{INTERNAL}:[Utils::callWebService] operation  return code = 0",
          "{ERROR}:[Utils::callWebService]Fail to access Webservice behind [" + Url("empty", "e?status=204") + "] !"},
         {"Call success full"}, {{Url("empty", "e"), 1}}, false},
        {"authentication URL given: no walk", Cinfo(tgt, Url("given", "")), Url("given", "echo?echo=1"), "", "", 0,
         cookieSent,
         {"{INTERNAL}:[Utils::callWebService]there is a CASTGC ! on which url do we set it ?",
          "{INTERNAL}:[Utils::callWebService] try to setup the cookie on the URL : " + Url("given", ""),
          "{INTERNAL}:[Utils::CallWebService] set cookie(" + Url("given", "") + ") : CASTGC=TGT-***(23)"},
         {"No default authentication URL", "ResolveAuthWebserice"}, {{Url("given", "echo"), 1}}, true},
        {"identity service on the first answer", Cinfo(tgt, ""), Url("iam", echoIam), "", "", 0, cookieSent,
         {"{INTERNAL}:[Utils::callWebService]No default authentication URL. try to find it...",
          "{INTERNAL}:[Utils::ResolveAuthWebserice] the authentication webservice for url[" + Url("iam", echoIam) +
              "] is resolved to : " + Url("iam", "echo")},
         {}, {{Url("iam", "echo"), 2}}, true},
        {"two redirects then the identity service", Cinfo(tgt, ""), chainA, "", "", 0, cookieSent,
         {"{INTERNAL}:[Utils::ResolveAuthWebserice]Redirected to : " + chainB,
          "{INTERNAL}:[Utils::ResolveAuthWebserice]Redirected to : " + chainC,
          "{INTERNAL}:[Utils::ResolveAuthWebserice] the authentication webservice for url[" + chainA + "] is resolved to : " +
              Url("chain", "c")},
         {}, {{Url("chain", "a"), 2}, {Url("chain", "b"), 2}, {Url("chain", "c"), 2}}, true},
        {"the same target again comes from the cache", Cinfo(tgt, ""), chainA, "", "", 0, cookieSent,
         {"{INTERNAL}:[Utils::ResolveAuthWebserice]the authentication webservice for this url(" + chainA +
          ") has been already resolved to : " + Url("chain", "c")},
         {"Redirected to"}, {{Url("chain", "a"), 3}, {Url("chain", "b"), 3}, {Url("chain", "c"), 3}}, true},
        {"a service ticket in a redirect", Cinfo(tgt, ""), ticketA, "", "", 0, cookieSent,
         {"{INTERNAL}:[Utils::ResolveAuthWebserice]Redirected to : " +
          Url("st", "c?echo=1&" + std::string(kIam) + "&ticket=ST-1***(24)")},
         {kServiceTicket},
         {{Url("st", "a"), 2}, {Url("st", "c"), 2}}, true},
        {"a redirect to itself", Cinfo(tgt, ""), selfA, "", "", 0, "GET ",
         {"{INTERNAL}:[Utils::ResolveAuthWebserice]Infinit redirection loop detected on this URL '" + selfA +
              "', aborting connection process.",
          "{INTERNAL}:[Utils::ResolveAuthWebserice] Fail to resolve authentification webservice for url[" + selfA + "] !"},
         {"try to setup the cookie"}, {{Url("self", "s"), 2}}, false},
        {"A to B to A ends after ten hops", Cinfo(tgt, ""), abaA, "", "", 0, "GET ",
         {"{INTERNAL}:[Utils::ResolveAuthWebserice] Fail to resolve authentification webservice for url[" + abaA + "] !"},
         {"try to setup the cookie"}, {{Url("aba", "a"), 6}, {Url("aba", "b"), 5}}, false},
        {"noAuth", Cinfo(tgt, Url("noauth", "")), Url("noauth", "echo?echo=1"), "", "true", 0, "GET ", {},
         {"CASTGC"}, {}, false},
        {"noAuth not a boolean", Cinfo(tgt, Url("noauth2", "")), Url("noauth2", "echo?echo=1"), "", "\"true\"", 0,
         cookieSent, {"{INTERNAL}:[Utils::callWebService]there is a CASTGC ! on which url do we set it ?"}, {}, {}, true},
        {"context not initialised", Cinfo(tgt, Url("uninit", ""), "x"), Url("uninit", "echo?echo=1"), "", "", 0,
         "GET ", {}, {"CASTGC"}, {}, false},
        {"empty ticket", Cinfo("", Url("noticket", "")), Url("noticket", "echo?echo=1"), "", "", 0, "GET ", {},
         {"CASTGC"}, {}, false},
        {"a ticket holding ';'", Cinfo(tgt + "; Path=/", Url("semi", "")), Url("semi", "echo?echo=1"), "", "", 0,
         "GET ",
         {"{ERROR}:[Utils::CallWebService]{QORAPI}Fail to set CASTGC cookie for URL {" + Url("semi", "") +
          "}: CASTGC=***(31)"},
         {"set cookie("}, {{Url("semi", "api/authenticated/user/me"), 0}}, false},
        {"a ticket holding CR LF", Cinfo(tgt + "\r\nX-Injected: y", Url("crlf", "")), Url("crlf", "echo?echo=1"), "",
         "", 0, "GET ",
         {"{ERROR}:[Utils::CallWebService]{QORAPI}Fail to set CASTGC cookie for URL {" + Url("crlf", "") +
          "}: CASTGC=***(38)"},
         {"set cookie(", "X-Injected"}, {{Url("crlf", "api/authenticated/user/me"), 0}}, false},
        {"a ticket holding NUL", NulInTicket(Cinfo(tgt + "@", Url("nul", ""))), Url("nul", "echo?echo=1"), "", "", 0,
         "GET ",
         {"{ERROR}:[Utils::CallWebService]{QORAPI}Fail to set CASTGC cookie for URL {" + Url("nul", "") +
          "}: CASTGC=***(24)"},
         {"set cookie("}, {{Url("nul", "api/authenticated/user/me"), 0}}, false},
        {"CAS session still valid", Cinfo(tgt, server.Url("valid-" + RunMark())),
         server.Url("valid-" + RunMark() + "/echo?echo=1"), "", "", 0, "GET ",
         {"{INTERNAL}:[Utils::CallWebService] set cookie(" + server.Url("valid-" + RunMark()) + ") : CASTGC=TGT-***(23)"}, {},
         {{server.Url("valid-" + RunMark() + "/api/authenticated/user/me"), 1}}, false},
    };
    Launcher launcher(folder, {L"run", pipe}, {{L"TrqConfPath", folder.In(L"launcher.conf")}});
    for (const Case& c : cases) {
        const std::size_t before = launcher.Output().size();
        const Reply reply = Exchange(pipe, Request(c.cinfo, c.url, c.arg, c.noAuth));
        ASSERT_EQ(reply.error, 0u) << c.name;
        const Answer answer = Parse(reply.text);
        EXPECT_EQ(answer.rc, c.rc) << c.name << ": " << reply.text;
        if (c.rc != 0) {
            EXPECT_EQ(reply.text, ReplyText(c.rc)) << c.name;
        } else if (c.content.find("\r\n") == std::string::npos && c.content != "GET " &&
                   c.content.rfind("Cookie", 0) != 0) {
            EXPECT_EQ(reply.text, "{\"rc\": 0, \"content\": " + JsonQuoted(c.content) + "}") << c.name;
        } else {
            EXPECT_NE(answer.content.find(c.content), std::string::npos) << c.name << ": " << answer.content;
        }
        EXPECT_EQ(answer.content.find(cookieSent) != std::string::npos, c.cookie) << c.name << ": " << answer.content;
        if (!c.arg.empty() && c.rc == 0) {
            EXPECT_NE(answer.content.find("\r\n\r\n" + c.arg), std::string::npos) << c.name;
        }
        const std::string lines = launcher.Output().substr(before);
        for (const std::string& line : c.logged) {
            EXPECT_NE(lines.find(line + "\n"), std::string::npos) << c.name << ": " << line << "\n" << lines;
        }
        for (const std::string& text : c.absent) {
            EXPECT_EQ(lines.find(text), std::string::npos) << c.name << ": " << text << "\n" << lines;
        }
        for (const auto& [url, count] : c.counts) EXPECT_EQ(Count(url), count) << c.name << ": " << url;
    }
    Stop(launcher);
    const std::string log = DailyLog();
    EXPECT_NE(log.find("[Utils::callWebService]try n\xB0[0] to call"), std::string::npos);
    for (const std::string& secret : {std::string("424242-callwssecret"), std::string("1-issuedservicesecret")}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
        EXPECT_EQ(launcher.Output().find(secret), std::string::npos) << secret;
    }
}

// A service's own session cookie opens a session as the ticket does: the walk logs the head that
// sets it, the call's echo the request that sends it back, and neither shows its value.
TEST_F(CallWS, SessionCookieOfTheServiceNeverReachesTheLogOrTheConsole) {
    // The URL carries the value percent-encoded ("%2B"): only the cookie itself shows its '+'.
    const std::string secret = "0123456789+jsessionsecret";
    const std::string url = Url("session", "echo?echo=1&" + std::string(kIam) + "&cookie=" +
                                               Percent("JSESSIONID=AB+" + secret + "; Path=/"));
    Launcher launcher(folder, {L"run", pipe}, {{L"TrqConfPath", folder.In(L"launcher.conf")}});
    const Answer answer = Parse(Exchange(pipe, Request(Cinfo(kTicket, ""), url, "", "")).text);
    EXPECT_EQ(answer.rc, 0);
    EXPECT_NE(answer.content.find("JSESSIONID=AB+" + secret), std::string::npos) << "not sent back: " << answer.content;
    Stop(launcher);
    const std::string log = DailyLog();
    for (const std::string& line : {std::string("[Utils::ResolveAuthWebserice]current response header : "),
                                    std::string("Set-Cookie: JSESSIONID=AB+0***(28); Path=/\\r\\n"),
                                    std::string("[Utils::callWebService]Call success full :")}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    const std::pair<const char*, std::string> outputs[] = {{"daily log", log}, {"console", launcher.Output()}};
    for (const auto& [where, text] : outputs) {
        const std::size_t at = text.find(secret);
        EXPECT_EQ(at, std::string::npos) << where << ": " << text.substr(text.rfind('\n', at) + 1, 300);
    }
}

TEST_F(CallWS, ConcurrentCallsForOneTargetLeaveOneResolutionForLaterCalls) {
    const std::string target = Url("conc", "c?echo=1&" + std::string(kIam));
    const std::string first = Url("conc", "a?location=" + Percent(target));
    const std::string request = Request(Cinfo(kTicket, ""), first, "", "");
    Launcher launcher(folder, {L"run", pipe}, {{L"TrqConfPath", folder.In(L"launcher.conf")}});
    std::vector<std::future<Reply>> replies;
    for (int i = 0; i < 8; ++i) replies.push_back(std::async(std::launch::async, [&] { return Exchange(pipe, request); }));
    for (std::future<Reply>& reply : replies) {
        const Reply got = reply.get();
        EXPECT_EQ(got.error, 0u);
        const Answer answer = Parse(got.text);
        EXPECT_EQ(answer.rc, 0) << got.text;
        EXPECT_NE(answer.content.find("Cookie: CASTGC=" + std::string(kTicket)), std::string::npos) << answer.content;
    }
    // Each call's own request passes both paths once; the rest are resolution walks.
    const int walks = Count(first) - 8;
    EXPECT_GE(walks, 1);
    EXPECT_LE(walks, 8);
    EXPECT_EQ(Count(target), 8 + walks);
    const std::size_t before = launcher.Output().size();
    const Reply later = Exchange(pipe, request);
    EXPECT_EQ(Parse(later.text).rc, 0) << later.text;
    EXPECT_EQ(Count(first), 9 + walks);
    EXPECT_EQ(Count(target), 9 + walks);
    EXPECT_NE(launcher.Output().find("has been already resolved to : " + Url("conc", "c") + "\n", before),
              std::string::npos);
    Stop(launcher);
}

// Calls with distinct tickets, all planted on one authentication URL and sent at once: each
// reaches the service with its own ticket, whichever cookie jar the ticket is planted in.
TEST_F(CallWS, ConcurrentCallsEachGoOutWithTheirOwnTicket) {
    constexpr int kCalls = 16;
    struct Case {
        const char* name;
        EnvList env;
    } cases[] = {
        {"cookie store", {}},
        {"WinINet jar of the memory-check run", {{L"WEX_TRQ_UUID", L"1"}, {L"WEX_TRQ_EXECTOOL", L"MemoryCheck"}}},
    };
    for (const Case& c : cases) {
        const std::string authUrl = Url(std::string("own-") + (c.env.empty() ? "store" : "jar"), "");
        EnvList env = c.env;
        env.emplace_back(L"TrqConfPath", folder.In(L"launcher.conf"));
        Launcher launcher(folder, {L"run", pipe}, env);
        const auto ticket = [](int i) { return "TGT-" + std::to_string(i) + "-owncallsecret"; };
        std::vector<std::future<Reply>> replies;
        for (int i = 0; i < kCalls; ++i) {
            const std::string request = Request(Cinfo(ticket(i), authUrl), authUrl + "echo?echo=1", "", "");
            replies.push_back(std::async(std::launch::async, [this, request] { return Exchange(pipe, request); }));
        }
        for (int i = 0; i < kCalls; ++i) {
            const std::string content = Parse(replies[i].get().text).content;
            const std::size_t at = content.find("\r\nCookie: ");
            const std::string cookie = at == std::string::npos ? content : content.substr(at + 2, content.find("\r\n", at + 2) - at - 2);
            EXPECT_EQ(cookie, "Cookie: CASTGC=" + ticket(i)) << c.name << ", call " << i;
        }
        Stop(launcher);
    }
}

// A call whose service trickles its answer holds its ticket's turn for the whole exchange: calls
// of the same ticket go out beside it at once. One of another ticket waits for the turn up to the
// request time-out, then goes out as after a failed cookie step: refused, it would fail for
// another call's slowness.
TEST_F(CallWS, CallsOfTheTicketInTurnNeverWaitForItsSlowCallAndNoCallIsRefusedForItsTurn) {
    const std::string authUrl = Url("slow", "");
    const std::string otherAuthUrl = Url("slow-other", "");
    // 64 KiB at once, then one byte a second: the holder's answer takes about 36 seconds.
    constexpr int kSlowBytes = 36;
    fs::create_directories(fs::path(served) / ("status=404/slow-" + RunMark()));
    std::ofstream(fs::path(served) / ("status=404/slow-" + RunMark()) / "big.txt", std::ios::binary)
        << std::string(65536 + kSlowBytes, 'x');
    Launcher launcher(folder, {L"run", pipe}, {{L"TrqConfPath", folder.In(L"launcher.conf")}});
    using Clock = std::chrono::steady_clock;
    struct Timed {
        Answer answer;
        Clock::time_point at;
    };
    const auto send = [this](const std::string& request) {
        return std::async(std::launch::async, [this, request] {
            PipeClient client;
            std::string text;
            if (client.Open(pipe) == 0 && client.Write(request) == 0) client.Read(text, 60000);
            return Timed{Parse(text), Clock::now()};
        });
    };
    const Clock::time_point start = Clock::now();
    auto holder = send(Request(Cinfo(kTicket, authUrl), authUrl + "big.txt?trickle=1000", "", ""));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<std::future<Timed>> same;
    for (int i = 0; i < 3; ++i) same.push_back(send(Request(Cinfo(kTicket, authUrl), authUrl + "echo?echo=1", "", "")));
    for (std::future<Timed>& call : same) {
        const Timed got = call.get();
        EXPECT_EQ(got.answer.rc, 0) << got.answer.content;
        EXPECT_NE(got.answer.content.find("Cookie: CASTGC=" + std::string(kTicket)), std::string::npos)
            << got.answer.content;
        EXPECT_LT(got.at - start, std::chrono::seconds(20)) << "a call of the ticket in turn waited for the slow one";
    }
    const std::string other = "TGT-7-otherslowsecret";
    const std::size_t before = launcher.Output().size();
    const Timed late = send(Request(Cinfo(other, otherAuthUrl), otherAuthUrl + "echo?echo=1", "", "")).get();
    EXPECT_EQ(late.answer.rc, 0) << late.answer.content;
    EXPECT_GE(late.at - start, std::chrono::seconds(30)) << "another ticket was planted while the slow call was out";
    EXPECT_EQ(holder.wait_for(std::chrono::seconds(0)), std::future_status::timeout) << "the slow call ended first";
    EXPECT_EQ(late.answer.content.find(other), std::string::npos) << "planted without its turn";
    EXPECT_NE(launcher.Output().find("{ERROR}:[Utils::callWebService]No turn to set the CASTGC cookie within 30000 ms: "
                                     "the call is sent without it.\n",
                                     before),
              std::string::npos);
    const Timed held = holder.get();
    EXPECT_EQ(held.answer.rc, 0);
    EXPECT_EQ(held.answer.content.size(), 65536u + kSlowBytes);
    Stop(launcher);
}

// Past the table's bound, a target URL in use is still resolved once: its authentication service
// sees one walk, then only the calls.
TEST_F(CallWS, ATargetInUseIsResolvedOnceAfterMoreTargetsThanTheTableKeeps) {
    Launcher launcher(folder, {L"run", pipe}, {{L"TrqConfPath", folder.In(L"launcher.conf")}});
    const std::string echoIam = "echo?echo=1&" + std::string(kIam);
    constexpr int kTargets = 256 + 8, kAtOnce = 16;
    for (int first = 0; first < kTargets; first += kAtOnce) {
        std::vector<std::future<Reply>> replies;
        for (int i = first; i < first + kAtOnce; ++i) {
            const std::string target = Url("many", echoIam + "&n=" + std::to_string(i));
            const std::string request = Request(Cinfo(kTicket, ""), target, "", "");
            replies.push_back(std::async(std::launch::async, [this, request] { return Exchange(pipe, request); }));
        }
        for (std::future<Reply>& reply : replies) ASSERT_EQ(Parse(reply.get().text).rc, 0);
    }
    const std::string fresh = Url("fresh", echoIam);
    for (int call = 0; call < 2; ++call) {
        const Reply reply = Exchange(pipe, Request(Cinfo(kTicket, ""), fresh, "", ""));
        EXPECT_EQ(Parse(reply.text).rc, 0) << reply.text;
    }
    // One walk and two calls.
    EXPECT_EQ(Count(fresh), 3);
    Stop(launcher);
}

std::string Env(const char* name) {
    char value[2048] = {};
    const DWORD got = ::GetEnvironmentVariableA(name, value, sizeof value);
    return got < sizeof value ? std::string(value, got) : std::string();
}

void PrintResult(const std::string& text) {
    std::printf("\nRESULT %s\n", text.c_str());
    std::fflush(stdout);
}

OrdanaRequestInfo TicketContext(const std::string& authUrl) {
    OrdanaRequestInfo context;
    context.casTgc = kTicket;
    context.authWsUrl = authUrl;
    context.initialised = true;
    return context;
}

// The order is process-wide and never cleared. With a ticket and no authentication URL, the
// walk would ask the target first: neither it nor the call sends anything.
VAROMET_CHILD_CASE(StopOrderBeforeTheSend) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    Config::Init("");
    G_STOP = true;
    std::string response = "unchanged";
    const std::string url = Env("VAROMET_TEST_URL");
    const bool called = Utils::callWebService(TicketContext(""), url, "", response, false);
    installedSink.Restore();
    PrintResult(std::string(called ? "true " : "false ") + response +
                (sink.Has("[Utils::ResolveAuthWebserice] Fail to resolve authentification webservice for url[" + url +
                          "] !")
                     ? " unresolved"
                     : "") +
                (sink.Has("[Utils::CallWebService]GLOBAL STOP ORDER ! emergency break !") ? " stop-logged" : "") +
                (sink.Has("[Utils::callWebService]Fail to access Webservice behind [" + Env("VAROMET_TEST_URL") +
                          "] !")
                     ? " fail-logged"
                     : ""));
    return 0;
}

// The memory-check run hands the ticket to WinINet itself: the jar has it, the store does not,
// and no CAS session check is asked.
VAROMET_CHILD_CASE(MemoryCheckRunPlantsTheTicketThroughWinINet) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    Config::Init("");
    Config::ActivateOption(67);
    const std::string authUrl = Env("VAROMET_TEST_AUTH_URL");
    std::string response;
    const bool called = Utils::callWebService(TicketContext(authUrl), Env("VAROMET_TEST_URL"), "", response, false);
    char jar[1024] = {};
    DWORD size = sizeof jar;
    const bool inJar = ::InternetGetCookieExA(authUrl.c_str(), "CASTGC", jar, &size, 0, nullptr) != FALSE;
    QORHttpHeapText stored;
    QORSysGetCookie(authUrl.c_str(), "CASTGC", stored.Put(), 4);
    const bool inStore = stored && std::string(stored.Get()).find(kTicket) != std::string::npos;
    installedSink.Restore();
    // Expired again: the jar outlives the process.
    ::InternetSetCookieA(authUrl.c_str(), "CASTGC", "x; expires=Thu, 01-Jan-1970 00:00:00 GMT");
    PrintResult(std::string(called ? "true" : "false") + (inJar && std::string(jar) == std::string("CASTGC=") + kTicket
                                                                 ? " jar"
                                                                 : std::string(" jar<") + jar + ">") +
                (inStore ? " store" : "") +
                (sink.Has("[Utils::CallWebService] set cookie(" + authUrl + ") : CASTGC=TGT-***(23)") ? " logged"
                                                                                                       : ""));
    return 0;
}

std::string RunChild(const char* name, const std::vector<ChildProcess::EnvironmentChange>& env) {
    ChildProcess::Result run = ChildProcess::Run(name, env);
    std::erase(run.output, '\r');
    const std::size_t at = run.output.find("\nRESULT ");
    if (!run.started || run.exitCode != 0 || at == std::string::npos) {
        return "exit " + std::to_string(run.exitCode) + ": " + run.output;
    }
    return run.output.substr(at + 8, run.output.find('\n', at + 1) - at - 8);
}

TEST_F(CallWS, ProcessWideSwitchesInAChild) {
    struct Case {
        const char* child;
        std::string url, authUrl;
        std::string result;
        std::vector<std::pair<std::string, int>> counts;
    } cases[] = {
        {"StopOrderBeforeTheSend", Url("stop", "hello.txt"), "", "false unchanged unresolved stop-logged fail-logged",
         {{Url("stop", "hello.txt"), 0}}},
        {"MemoryCheckRunPlantsTheTicketThroughWinINet", Url("memcheck", "echo?echo=1"), Url("memcheck", ""),
         "true jar logged", {{Url("memcheck", "api/authenticated/user/me"), 0}, {Url("memcheck", "echo"), 1}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RunChild(c.child, {{L"VAROMET_TEST_URL", Widen(c.url)}, {L"VAROMET_TEST_AUTH_URL", Widen(c.authUrl)}}),
                  c.result)
            << c.child;
        for (const auto& [url, count] : c.counts) EXPECT_EQ(Count(url), count) << c.child << ": " << url;
    }
}

}  // namespace
