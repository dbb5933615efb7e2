#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "SocketTestSupport.h"

using namespace SocketTest;

namespace {

// CPU time, user and kernel, the calling thread has used so far.
double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& t) { return ((ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}

std::string Payload(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

}  // namespace

TEST(QORSockets, EachWritePutsItsExactBytesOnTheWire) {
    const std::string big = Payload(70000);
    struct Case {
        const char* name;
        bool text;
        std::function<void(QORSockets&)> write;
        std::string wire;
    };
    const Case cases[] = {
        {"Send of 5 bytes", false, [](QORSockets& s) { EXPECT_EQ(s.Send("hello", 5), 0); }, Header(5) + "hello"},
        {"Send of 0 bytes", false, [](QORSockets& s) { EXPECT_EQ(s.Send("", 0), 0); }, Header(0)},
        {"Send of 70,000 bytes", false, [&](QORSockets& s) { EXPECT_EQ(s.Send(big.data(), 70000), 0); },
         std::string("\x00\x01\x11\x70", 4) + big},
        {"binary << int", false, [](QORSockets& s) { s << 0x01020304; }, Header(4) + "\x01\x02\x03\x04"},
        {"binary << string", false, [](QORSockets& s) { s << "ab"; }, Header(3) + std::string("ab\0", 3)},
        {"binary << double", false, [](QORSockets& s) { s << 1.5; },
         Header(8) + std::string("\x00\x00\x00\x00\x00\x00\xF8\x3F", 8)},
        {"text << 42", true, [](QORSockets& s) { s << 42; }, "42\n"},
        {"text << -7", true, [](QORSockets& s) { s << -7; }, "-7\n"},
        {"text << string ab", true, [](QORSockets& s) { s << "ab"; }, "2\nab\n"},
        {"text << float", true, [](QORSockets& s) { s << 1.5f; }, "1.500000\n"},
        {"text << double", true, [](QORSockets& s) { s << 1.5; }, "1.500000000\n"},
        {"BasicSend has no header", false, [](QORSockets& s) { EXPECT_EQ(s.BasicSend("xyz", 3), 0); }, "xyz"},
    };
    for (const Case& c : cases) {
        RawPeer peer = MakeRawPeer();
        ASSERT_TRUE(peer.Ready()) << c.name;
        if (c.text) {
            EXPECT_EQ(peer.framed->SetProtocol(QORSockProtoText), 0) << c.name;
        }
        c.write(*peer.framed);
        EXPECT_EQ(RawRead(peer.raw.Get(), c.wire.size()), c.wire) << c.name;
        EXPECT_TRUE(RawSeesNothing(peer.raw.Get())) << c.name << ": more bytes than expected";
    }
}

// Each case sends its pieces from a raw peer, pausing between them, then closes when asked.
TEST(QORSockets, ReceiveTakesOneWholeMessage) {
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        bool closeAfter;
        int limitMs;  // the receive time-out; 0 none, as sockets have by default
        unsigned maximum;
        int expected;
        unsigned expectedLength;
        std::string expectedPayload;
    };
    const Case cases[] = {
        {"a 5-byte message", {Header(5) + "hello"}, false, kLimitMs, 10, 0, 5, "hello"},
        {"an empty message", {Header(0)}, false, kLimitMs, 10, 0, 0, ""},
        {"as large as the maximum", {Header(3) + "abc"}, false, kLimitMs, 3, 0, 3, "abc"},
        {"header in 2 + 2 bytes with a pause", {Header(5).substr(0, 2), Header(5).substr(2) + "hello"}, false, kLimitMs, 10, 0,
         5, "hello"},
        {"header in 1 + 1 + 2 bytes", {Header(5).substr(0, 1), Header(5).substr(1, 1), Header(5).substr(2) + "hello"},
         false, kLimitMs, 10, 0, 5, "hello"},
        {"payload in two pieces", {Header(6) + "abc", "def"}, false, kLimitMs, 10, 0, 6, "abcdef"},
        {"peer closes within the header", {Header(5).substr(0, 2)}, true, 0, 10, 16388, 0, ""},
        {"peer closes within the payload", {Header(5) + "he"}, true, 0, 10, 16388, 5, ""},
        {"peer closes before anything", {}, true, 0, 10, 16388, 0, ""},
    };
    for (const Case& c : cases) {
        RawPeer peer = MakeRawPeer();
        ASSERT_TRUE(peer.Ready()) << c.name;
        BoundReceives(static_cast<SOCKET>(peer.framed->GetHandler()), c.limitMs);
        std::thread sender([&] {
            for (std::size_t i = 0; i < c.pieces.size(); ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(150));
                RawSend(peer.raw.Get(), c.pieces[i]);
            }
            if (c.closeAfter) peer.raw.Reset();
        });
        char buffer[16] = {};
        unsigned length = 0;
        {
            Watchdog watchdog({static_cast<SOCKET>(peer.framed->GetHandler())}, c.name);
            EXPECT_EQ(peer.framed->Receive(buffer, c.maximum, &length), c.expected) << c.name;
        }
        sender.join();
        EXPECT_EQ(length, c.expectedLength) << c.name;
        if (c.expected == 0) {
            EXPECT_EQ(std::string(buffer, length), c.expectedPayload) << c.name;
        }
    }
}

// The raw peer sends its pieces, pausing between them, while Peek waits for the whole range.
TEST(QORSockets, PeekWaitsForTheWholeRangeWithoutSpinning) {
    const std::string big = Payload(200000);
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        int pauseMs;
        double cpuLimitMs;  // the waiting thread's CPU time at most; 0 not checked
    };
    const Case cases[] = {
        {"200,000 bytes sent at once", {big}, 0, 0},
        {"8 bytes in two pieces with a pause", {"abcd", "efgh"}, 1000, 250},
    };
    for (const Case& c : cases) {
        RawPeer peer = MakeRawPeer();
        ASSERT_TRUE(peer.Ready()) << c.name;
        const DWORD sendLimit = 10000;
        ::setsockopt(peer.raw.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendLimit),
                     sizeof sendLimit);
        std::string expected;
        for (const std::string& piece : c.pieces) expected += piece;
        std::thread sender([&] {
            for (std::size_t i = 0; i < c.pieces.size(); ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
                RawSend(peer.raw.Get(), c.pieces[i]);
            }
        });
        std::string seen(expected.size(), '\0');
        const double cpuBefore = ThreadCpuMs();
        {
            Watchdog watchdog({static_cast<SOCKET>(peer.framed->GetHandler()), peer.raw.Get()}, c.name);
            EXPECT_EQ(peer.framed->Peek(seen.data(), static_cast<int>(seen.size()), 0, 0), 0) << c.name;
        }
        const double cpuMs = ThreadCpuMs() - cpuBefore;
        sender.join();
        EXPECT_TRUE(seen == expected) << c.name;
        if (c.cpuLimitMs > 0) {
            EXPECT_LT(cpuMs, c.cpuLimitMs) << c.name;
        }
        EXPECT_EQ(RawRead(static_cast<SOCKET>(peer.framed->GetHandler()), expected.size()).size(), expected.size())
            << c.name << ": the peeked bytes are still there to read";
    }
}

// A refused call leaves the stream as it was: the next message goes through intact.
TEST(QORSockets, ANullBufferIsRefusedBeforeTheWireIsTouched) {
    struct Case {
        const char* name;
        bool sends;  // true: the framed socket sends; false: it receives
    };
    const Case cases[] = {{"Send from NULL", true}, {"Receive into NULL", false}};
    for (const Case& c : cases) {
        RawPeer peer = MakeRawPeer();
        ASSERT_TRUE(peer.Ready()) << c.name;
        if (c.sends) {
            EXPECT_EQ(peer.framed->Send(nullptr, 5), 16390) << c.name;
            EXPECT_EQ(peer.framed->Send("hello", 5), 0) << c.name;
            EXPECT_EQ(RawRead(peer.raw.Get(), 9), Header(5) + "hello") << c.name;
            EXPECT_TRUE(RawSeesNothing(peer.raw.Get())) << c.name;
        } else {
            ASSERT_TRUE(RawSend(peer.raw.Get(), Header(5) + "hello")) << c.name;
            char buffer[8] = {};
            unsigned length = 0;
            EXPECT_EQ(peer.framed->Receive(nullptr, 10, &length), 16391) << c.name;
            EXPECT_EQ(peer.framed->Receive(buffer, sizeof buffer, &length), 0) << c.name;
            EXPECT_EQ(std::string(buffer, length), "hello") << c.name;
        }
    }
}

TEST(QORSockets, ATooLongMessageStaysUnreadForALargerReceive) {
    RawPeer peer = MakeRawPeer();
    ASSERT_TRUE(peer.Ready());
    const std::string twenty = Payload(20);
    ASSERT_TRUE(RawSend(peer.raw.Get(), Header(20) + twenty + Header(1) + "z"));
    char buffer[32] = {};
    unsigned length = 0;
    EXPECT_EQ(peer.framed->Receive(buffer, 10, &length), 16393);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(peer.framed->Receive(buffer, 0, &length), 16393);
    EXPECT_EQ(peer.framed->Receive(buffer, 20, &length), 0);
    EXPECT_EQ(std::string(buffer, length), twenty);
    EXPECT_EQ(peer.framed->Receive(buffer, 20, &length), 0);
    EXPECT_EQ(std::string(buffer, length), "z");
}

// The raw peer's bytes, then the reads in order; each read's result as text.
TEST(QORSockets, StreamReadsTakeValuesInEachMode) {
    struct Case {
        const char* name;
        bool text;
        std::string wire;
        std::function<std::string(QORSockets&)> read;
        std::string expected;
    };
    auto readInt = [](QORSockets& s) {
        int v = -99;
        s >> v;
        return std::to_string(v);
    };
    auto readString = [](QORSockets& s) {
        char text[80];
        std::strcpy(text, "untouched");
        s >> text;
        return std::string(text);
    };
    auto readDouble = [](QORSockets& s) {
        double v = -99;
        s >> v;
        return std::to_string(v);
    };
    auto then = [](auto first, auto second) {
        return [=](QORSockets& s) {
            const std::string a = first(s);
            return a + "|" + second(s);
        };
    };
    const Case cases[] = {
        {"binary int", false, Header(4) + std::string("\x00\x00\x01\x00", 4), readInt, "256"},
        {"binary negative int", false, Header(4) + "\xFF\xFF\xFF\xFE", readInt, "-2"},
        {"binary int of the wrong length leaves the value", false, Header(2) + "ab", readInt, "-99"},
        {"binary double", false, Header(8) + std::string("\x00\x00\x00\x00\x00\x00\xF8\x3F", 8), readDouble,
         "1.500000"},
        {"binary string", false, Header(6) + std::string("hello\0", 6), readString, "hello"},
        {"binary: two empty messages, then a 5-byte one", false,
         Header(0) + Header(0) + Header(5) + std::string("abcd\0", 5), then(then(readString, readString), readString),
         "untouched|untouched|abcd"},
        {"text int", true, "42\n", readInt, "42"},
        {"text double", true, "1.5\n", readDouble, "1.500000"},
        {"text string", true, "3\nabc\n5\n", then(readString, readInt), "abc|5"},
        {"text empty string", true, "0\n\n5\n", then(readString, readInt), "|5"},
        {"text negative length reads nothing more", true, "-1\n7\n", then(readString, readInt), "|7"},
    };
    for (const Case& c : cases) {
        RawPeer peer = MakeRawPeer();
        ASSERT_TRUE(peer.Ready()) << c.name;
        if (c.text) peer.framed->SetProtocol(QORSockProtoText);
        ASSERT_TRUE(RawSend(peer.raw.Get(), c.wire)) << c.name;
        EXPECT_EQ(c.read(*peer.framed), c.expected) << c.name;
    }
}

TEST(QORSockets, ATextValueWithoutSeparatorIsCutAt63Characters) {
    RawPeer peer = MakeRawPeer();
    ASSERT_TRUE(peer.Ready());
    peer.framed->SetProtocol(QORSockProtoText);
    ASSERT_TRUE(RawSend(peer.raw.Get(), std::string(64, '7') + "8\n"));
    double value = 0;
    *peer.framed >> value;
    EXPECT_EQ(value, std::atof(std::string(63, '7').c_str()));
    int rest = 0;
    *peer.framed >> rest;
    EXPECT_EQ(rest, 8);
}

TEST(QORSockets, ValuesTravelBetweenTwoFramedSockets) {
    for (bool text : {false, true}) {
        const char* name = text ? "text" : "binary";
        auto pair = MakeFramedPair();
        ASSERT_TRUE(pair->Ready()) << name;
        if (text) {
            pair->client.SetProtocol(QORSockProtoText);
            pair->server->SetProtocol(QORSockProtoText);
        }
        pair->client << 12345 << 2.25 << "a string" << -6;
        int i = 0, j = 0;
        double d = 0;
        char s[32] = {};
        *pair->server >> i >> d >> s >> j;
        EXPECT_EQ(i, 12345) << name;
        EXPECT_EQ(d, 2.25) << name;
        EXPECT_STREQ(s, "a string") << name;
        EXPECT_EQ(j, -6) << name;
    }
}

// Steps run in order on one raw peer that already sent "abcdefgh".
TEST(QORSockets, PeekSmartReceiveAndWaitAnswerTheirCodes) {
    RawPeer peer = MakeRawPeer();
    ASSERT_TRUE(peer.Ready());
    QORSockets& s = *peer.framed;
    char buffer[32] = {};
    unsigned count = 0;
    struct Case {
        const char* name;
        std::function<int()> step;
        int expected;
        std::string expectedBytes;  // the start of buffer afterwards; empty: not checked
    };
    const Case cases[] = {
        {"Wait without data", [&] { return s.Wait(0); }, 16395, ""},
        {"SmartReceive without data, time-out 0", [&] { return s.SmartReceive(buffer, 4, 0, &count, 0); }, 16397, ""},
        {"send the bytes", [&] { return RawSend(peer.raw.Get(), "abcdefgh") ? 0 : -1; }, 0, ""},
        {"Wait with data", [&] { return s.Wait(1000); }, 0, ""},
        {"Peek offset 3 length 4", [&] { return s.Peek(buffer, 4, 3, 0); }, 0, "defg"},
        {"Peek offset 0 length 2", [&] { return s.Peek(buffer, 2, 0, 0); }, 0, "ab"},
        {"Peek negative length", [&] { return s.Peek(buffer, -1, 0, 0); }, 8201, ""},
        {"Peek past the limit", [&] { return s.Peek(buffer, 1, 256000, 0); }, 16391, ""},
        {"Peek whose range wraps", [&] { return s.Peek(buffer, 10, 0xFFFFFFFBu, 0); }, 16391, ""},
        {"Peek into NULL", [&] { return s.Peek(nullptr, 1, 0, 0); }, 12290, ""},
        {"BasicReceive peek of more than there is", [&] { return s.BasicReceive(buffer, 10, -1); }, 16391, ""},
        {"BasicReceive peek", [&] { return s.BasicReceive(buffer, 3, -1); }, 0, "abc"},
        {"SmartReceive of 2", [&] { return s.SmartReceive(buffer, 2, 500, &count, 0); }, 0, "ab"},
        {"SmartReceive of 10 with 6 there", [&] { return s.SmartReceive(buffer, 10, 100, &count, 0); }, 16397,
         "cdefgh"},
        {"SmartReceive of 0", [&] { return s.SmartReceive(buffer, 0, 100, &count, 0); }, 0, ""},
        {"BasicReceive into NULL", [&] { return s.BasicReceive(nullptr, 1, 0); }, 16391, ""},
        {"send more", [&] { return RawSend(peer.raw.Get(), "xyz") ? 0 : -1; }, 0, ""},
        {"BasicReceive of 3", [&] { return s.BasicReceive(buffer, 3, 0); }, 0, "xyz"},
        {"BasicSend from NULL", [&] { return s.BasicSend(nullptr, 1); }, 16390, ""},
        {"BasicSend of 0 bytes", [&] { return s.BasicSend(nullptr, 0); }, 0, ""},
        {"the peer closes", [&] { return peer.raw.Reset(), 0; }, 0, ""},
        {"SmartReceive after the close", [&] { return s.SmartReceive(buffer, 4, 500, &count, 0); }, 16396, ""},
        {"Receive after the close", [&] { return s.Receive(buffer, 4, &count); }, 16388, ""},
        {"BasicReceive after the close", [&] { return s.BasicReceive(buffer, 1, 0); }, 16388, ""},
        {"Close", [&] { return s.Close(); }, 0, ""},
        {"Close again", [&] { return s.Close(); }, 16394, ""},
        {"Send when closed", [&] { return s.Send("a", 1); }, 12290, ""},
        {"Receive when closed", [&] { return s.Receive(buffer, 1, &count); }, 12290, ""},
        {"Wait when closed", [&] { return s.Wait(0); }, 12290, ""},
    };
    for (const Case& c : cases) {
        std::memset(buffer, 0, sizeof buffer);
        EXPECT_EQ(c.step(), c.expected) << c.name;
        if (!c.expectedBytes.empty()) {
            EXPECT_EQ(std::string(buffer, c.expectedBytes.size()), c.expectedBytes) << c.name;
        }
    }
}

TEST(QORSockets, AnUnconnectedSocketAnswersItsCodes) {
    QORSockets s;
    QORSockets hinted;
    char buffer[4];
    unsigned length = 0;
    struct Case {
        const char* name;
        std::function<int()> step;
        int expected;
    };
    const Case cases[] = {
        {"Send", [&] { return s.Send("a", 1); }, 12290},
        {"Receive", [&] { return s.Receive(buffer, 4, &length); }, 12290},
        {"Close", [&] { return s.Close(); }, 16394},
        {"GetHandler", [&] { return s.GetHandler(); }, -1},
        {"GetPort", [&] { return int{s.GetPort()}; }, 0xFFFF},
        {"SetOptions 1", [&] { return s.SetOptions(QORSockOptIPv4); }, 16391},
        {"SetOptions 3", [&] { return s.SetOptions(QORSockOptAnyFamily); }, 16391},
        {"SetOptions 9", [&] { return s.SetOptions(static_cast<QORSocketOptions>(9)); }, 16391},
        {"SetProtocol", [&] { return s.SetProtocol(QORSockProtoText); }, 0},
        {"ExtOperation", [&] { return s.ExtOperation(nullptr, 1, nullptr); }, 3},
        {"SetExternalProtocol NULL", [&] { return s.SetExternalProtocol(nullptr); }, 16418},
        {"GetExternalProtocolId", [&] { return s.GetExternalProtocolId() == nullptr ? 0 : 1; }, 0},
        {"Connect to a port nobody listens on", [&] { return s.Connect(1, "127.0.0.1"); }, 16387},
        {"Connect to an unknown host", [&] { return s.Connect(80, "no-such-host.invalid"); }, 16386},
        {"ConnectService NULL", [&] { return s.ConnectService(nullptr, "127.0.0.1", "tcp"); }, 8201},
        {"ConnectService unknown", [&] { return s.ConnectService("no-such-service", "127.0.0.1", "tcp"); }, 8202},
        {"ConnectTo a port nobody listens on", [&] { return s.ConnectTo(::htonl(INADDR_LOOPBACK), 1); }, 16387},
        {"IPv6 hint refuses an IPv4 address", [&] { return hinted.SetOptions(QORSockOptIPv6); }, 16391},
        {"Connect with that hint", [&] { return hinted.Connect(80, "127.0.0.1"); }, 16386},
    };
    for (const Case& c : cases) EXPECT_EQ(c.step(), c.expected) << c.name;
}

TEST(QORSockets, AConnectedSocketRefusesASecondConnection) {
    auto pair = MakeFramedPair();
    ASSERT_TRUE(pair->Ready());
    const unsigned short port = pair->connector->GetPort();
    struct Case {
        const char* name;
        std::function<int()> step;
        int expected;
    };
    const Case cases[] = {
        {"client GetPort", [&] { return int{pair->client.GetPort()}; }, port},
        {"accepted GetPort", [&] { return int{pair->server->GetPort()}; }, port},
        {"client Connect", [&] { return pair->client.Connect(port, "127.0.0.1"); }, 16392},
        {"client ConnectTo", [&] { return pair->client.ConnectTo(::htonl(INADDR_LOOPBACK), port); }, 16392},
        {"accepted Connect", [&] { return pair->server->Connect(port, "127.0.0.1"); }, 16392},
        {"accepted ConnectTo", [&] { return pair->server->ConnectTo(::htonl(INADDR_LOOPBACK), port); }, 16392},
        {"SetOptions 0", [&] { return pair->client.SetOptions(QORSockOptNoDelay); }, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.step(), c.expected) << c.name;

    // After Close a client may connect again, by address this time.
    EXPECT_EQ(pair->client.Close(), 0);
    EXPECT_EQ(pair->client.ConnectTo(::htonl(INADDR_LOOPBACK), port), 0);
    auto second = AcceptOne(*pair->connector);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(pair->client.Send("again", 5), 0);
    char buffer[8] = {};
    unsigned length = 0;
    EXPECT_EQ(second->Receive(buffer, sizeof buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, length), "again");
}

// A copy that goes first must leave the connection open for the others.
TEST(QORSockets, CopiesShareOneConnectionThatTheLastClosesOnce) {
    RawPeer peer = MakeRawPeer();
    ASSERT_TRUE(peer.Ready());
    auto original = std::make_unique<QORSockets>(*peer.framed);
    peer.framed.reset();
    {
        QORSockets copy(*original);
        QORSockets assigned;
        assigned = copy;
        assigned = assigned;
        EXPECT_EQ(copy.Send("one", 3), 0);
        EXPECT_EQ(assigned.Send("two", 3), 0);
    }
    EXPECT_EQ(original->Send("three", 5), 0);
    EXPECT_EQ(RawRead(peer.raw.Get(), 23), Header(3) + "one" + Header(3) + "two" + Header(5) + "three");
    EXPECT_TRUE(RawSeesNothing(peer.raw.Get())) << "the connection ended before its last copy";
    original.reset();
    EXPECT_TRUE(RawSeesEnd(peer.raw.Get()));
}

VAROMET_CHILD_CASE(TraceSomeCalls) {
    QORSockets socket;
    socket.Wait(0);
    socket.Connect(1, nullptr);
    return 0;
}

TEST(QORSockets, TheTraceSwitchWritesOneLinePerCall) {
    const std::string stamp = R"(\[\d{4}-\d\d-\d\d@\d\d:\d\d:\d\d\.\d{3}\]\[[0-9A-F]{16}\])";
    const std::regex traced(stamp + R"(QORSockets::QORSockets \(Sock=<-1>, Connector=<0>\)\n)" + stamp +
                            R"(QORSockets::Wait \(Timeout=<0>\)\n)" + stamp +
                            R"(QORSockets::Connect \(Host=<NULL>, Port=<1>\)\n(.*\n)*)" + stamp +
                            R"(QORSockets::Close \(\)\n)");
    struct Case {
        const char* name;
        std::vector<ChildProcess::EnvironmentChange> environment;
        bool lines;
    };
    const Case cases[] = {
        {"switch set", {{L"QORSocketTrace", L"1"}}, true},
        {"switch unset", {{L"QORSocketTrace", std::nullopt}}, false},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result child = ChildProcess::Run("TraceSomeCalls", c.environment);
        ASSERT_TRUE(child.started) << c.name << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name;
        const std::string output = ChildProcess::TextOutput(child);
        if (c.lines)
            EXPECT_TRUE(std::regex_match(output, traced)) << c.name << ":\n" << output;
        else
            EXPECT_EQ(output, "") << c.name;
    }
}
