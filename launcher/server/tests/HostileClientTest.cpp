// Clients that hold their connection without finishing the exchange: the server of a child
// process, with a short deadline, drops them and serves the others meanwhile.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "Backbone.h"
#include "ChildProcess.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"

namespace {

constexpr DWORD kDeadline = 2000;
const std::string kRequest = R"({"op":"nosuchop","args":null})";

std::string Answer(const Reply& reply) {
    return reply.error ? "error " + std::to_string(reply.error) : reply.text;
}

// The server of this process against one client that connects and then writes nothing, or
// writes its request and then reads nothing; prints what the clients saw and the server logged.
int HostileClient(bool writesItsRequest) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    Backbone::SetExchangeDeadline(kDeadline);
    std::wstring program = L"launcher", mode = L"run", pipe = UniquePipeName();
    wchar_t* argv[] = {program.data(), mode.data(), pipe.data()};
    int rc = -1;
    std::thread server(&Backbone::Run, argv, 3, &rc, nullptr);

    PipeClient hostile;
    const DWORD opened = hostile.Open(pipe);
    const auto connected = std::chrono::steady_clock::now();
    const DWORD written = writesItsRequest ? hostile.Write(kRequest) : 0;
    const std::string during = Answer(Exchange(pipe, kRequest));
    const DWORD heldWhileOthersServed = hostile.Peek();
    DWORD dropped = 0;
    while (std::chrono::steady_clock::now() - connected < std::chrono::seconds(10) && (dropped = hostile.Peek()) == 0)
        ::Sleep(20);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - connected);
    const std::string after = Answer(Exchange(pipe, kRequest));

    PipeClient stop;
    stop.Open(pipe);
    stop.Write("STOP");
    server.join();
    Backbone::WaitForClients(5000);
    installedSink.Restore();
    std::string why = "<none>";
    for (const std::string& line : sink.Lines()) {
        if (line.find("client dropped.") != std::string::npos) why = line;
    }
    std::printf("\nRESULT open %lu write %lu | during %s | held %lu | dropped %s | after %s | rc %d | %s\n", opened,
                written, during.c_str(), heldWhileOthersServed,
                dropped == 0 ? "never" : waited.count() < kDeadline * 3 / 4 ? "too early" : "after the deadline",
                after.c_str(), rc, why.c_str());
    std::fflush(stdout);
    return 0;
}

VAROMET_CHILD_CASE(IdleClient) { return HostileClient(false); }
VAROMET_CHILD_CASE(NeverReadingClient) { return HostileClient(true); }

TEST(HostileClients, ClientHoldingItsConnectionIsDroppedAtTheDeadlineWhileOthersAreServed) {
    const std::string served = "during " + ReplyText(17) + " | held 0 | dropped after the deadline | after " +
                               ReplyText(17) + " | rc 0 | ";
    struct Case {
        const char* child;
        std::string result;
    } cases[] = {
        {"IdleClient",
         "open 0 write 0 | " + served + "[Backbone::threadFunc]no whole request within 2000 ms : client dropped."},
        {"NeverReadingClient",
         "open 0 write 0 | " + served + "[Backbone::threadFunc]pipe not released after the reply within 2000 ms : client dropped."},
    };
    for (const Case& c : cases) {
        ChildProcess::Result run = ChildProcess::Run(c.child);
        ASSERT_TRUE(run.started) << c.child << ": " << run.output;
        EXPECT_EQ(run.exitCode, 0u) << c.child << ": " << run.output;
        const std::size_t at = run.output.find("\nRESULT ");
        ASSERT_NE(at, std::string::npos) << c.child << ": " << run.output;
        std::string result = run.output.substr(at + 8, run.output.find('\n', at + 1) - at - 8);
        std::erase(result, '\r');
        EXPECT_EQ(result, c.result) << c.child;
    }
}

}  // namespace
