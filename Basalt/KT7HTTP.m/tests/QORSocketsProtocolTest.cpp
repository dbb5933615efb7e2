#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "QORSocketResolver.h"
#include "SocketTestSupport.h"

using namespace SocketTest;

namespace {

// A protocol that answers what the test scripted and writes down each call it gets.
class RecordingProtocol final : public QORISysSockProtocols {
public:
    struct SendStep {
        unsigned flags;
        std::string bytes;
        int result = 0;
    };

    std::string calls;
    QORSysSPResult checkAnswer = 0;
    int prepareAnswer = 0;
    unsigned prepareFlags = 0;
    unsigned short preparePort = 0;
    std::string prepareHost;
    bool prepareFillsHost = false;  // every byte of the host buffer, without a NUL
    int completeAnswer = 0;
    std::vector<SendStep> sendSteps;  // the first for BeginSend, the others for NextSend
    int endAnswer = 0;
    unsigned lastSendFlags = 0;
    unsigned receiveFlags = 0;
    int receiveCode = 0;
    int receiveAnswer = 0;
    int canWait = 1, cannotWait = 1;
    int waitAnswer = 0;
    int attaches = 0, releases = 0, closeNotices = 0;

    const char* GetId() override { return "recording"; }
    QORSysSPResult CheckRequest(QORISysSockProtocolRq*, int mode) override {
        Note("check(" + std::to_string(mode) + ")");
        return checkAnswer;
    }
    int BeginSend(QORSockets*, QORISysSockProtocolRq*, unsigned& flags, char*& buffer, unsigned& length,
                  void*&) override {
        Note("begin");
        return Hand(0, flags, buffer, length);
    }
    int NextSend(QORSockets*, QORISysSockProtocolRq*, unsigned& flags, char*& buffer, unsigned& length, void*&,
                 int steps) override {
        Note("next(" + std::to_string(steps) + ")");
        return Hand(static_cast<std::size_t>(steps), flags, buffer, length);
    }
    int EndSend(QORSockets*, QORISysSockProtocolRq*, unsigned& flags, char*&, unsigned&, void*&, int steps) override {
        Note("end(" + std::to_string(steps) + ")");
        lastSendFlags = flags;
        return endAnswer;
    }
    int ReleaseSend(unsigned, char*&, void*&, int steps) override {
        Note("release(" + std::to_string(steps) + ")");
        return 0;
    }
    int Receive(QORSockets*, QORISysSockProtocolRq*&, unsigned& flags, int& resultCode) override {
        Note("receive");
        flags = receiveFlags;
        resultCode = receiveCode;
        return receiveAnswer;
    }
    int PrepareConnect(QORSockets*, QORISysSockProtocolRq*, unsigned short& port, char* host,
                       unsigned& flags) override {
        Note("prepare");
        port = preparePort;
        std::snprintf(host, 257, "%s", prepareHost.c_str());
        if (prepareFillsHost) std::memset(host, 'a', 257);
        flags = prepareFlags;
        return prepareAnswer;
    }
    int CompleteConnect(QORSockets*, QORISysSockProtocolRq*, unsigned short&) override {
        Note("complete");
        return completeAnswer;
    }
    int NotifyClose(QORSockets*, int reserved) override {
        Note("close(" + std::to_string(reserved) + ")");
        ++closeNotices;
        return 0;
    }
    int Supports(int capability) override { return capability == 4 ? canWait : capability == 2 ? cannotWait : 1; }
    int Wait(int timeoutMs, QORISysSockProtocolRq*, QORSockets*) override {
        Note("wait(" + std::to_string(timeoutMs) + ")");
        return waitAnswer;
    }
    QORSysSPResult ExtOperation(QORISysSockProtocolRq*, int operation, void*) override {
        Note("ext(" + std::to_string(operation) + ")");
        return 40 + operation;
    }
    int Attach(int count) override {
        attaches += count;
        return 0;
    }
    int Release(int count) override {
        releases += count;
        return 0;
    }

private:
    void Note(const std::string& call) { calls += (calls.empty() ? "" : " ") + call; }
    int Hand(std::size_t step, unsigned& flags, char*& buffer, unsigned& length) {
        if (step >= sendSteps.size()) return -1;
        SendStep& s = sendSteps[step];
        flags = s.flags;
        buffer = s.bytes.data();
        length = static_cast<unsigned>(s.bytes.size());
        return s.result;
    }
};

class Request final : public QORISysSockProtocolRq {
public:
    int GetRequestType() override { return 1; }
};

// Writes down the host of every lookup, then looks it up for real; installed for its lifetime.
class RecordingResolver final : public QORSocketResolver {
public:
    RecordingResolver() : previous_(QORSocketSetResolver(this)) {}
    ~RecordingResolver() override { QORSocketSetResolver(previous_); }
    RecordingResolver(const RecordingResolver&) = delete;
    RecordingResolver& operator=(const RecordingResolver&) = delete;

    std::vector<std::string> hosts;

    int Lookup(const char* host, const char* service, const addrinfo& hints, addrinfo** list) override {
        hosts.push_back(host ? host : "NULL");
        return ::getaddrinfo(host, service, &hints, list);
    }

private:
    QORSocketResolver* previous_;
};

}  // namespace

TEST(QORSocketsProtocol, ConnectChecksPreparesConnectsAndCompletesInOrder) {
    auto connector = Listen();
    ASSERT_NE(connector, nullptr);
    const unsigned short port = connector->GetPort();
    struct Case {
        const char* name;
        std::function<void(RecordingProtocol&)> script;
        int expected;
        QORSysSPResult expectedResult;
        std::string expectedCalls;
        bool connects;
        std::vector<std::string> lookups;  // the hosts the connection looked up
    };
    const std::vector<std::string> loopback = {"127.0.0.1"};
    const Case cases[] = {
        {"connect to the host and port given",
         [&](RecordingProtocol& p) {
             p.prepareFlags = 8;
             p.preparePort = port;
             p.prepareHost = "127.0.0.1";
         },
         0, 0, "check(2) prepare complete", true, loopback},
        {"no connect flag: connected without a socket", [](RecordingProtocol&) {}, 0, 0, "check(2) prepare complete",
         false, {}},
        {"close afterwards",
         [&](RecordingProtocol& p) {
             p.prepareFlags = 8 | 4;
             p.preparePort = port;
             p.prepareHost = "127.0.0.1";
         },
         16387, 0, "check(2) prepare complete close(0)", true, loopback},
        {"the check refuses", [](RecordingProtocol& p) { p.checkAnswer = 7; }, 16420, 7, "check(2)", false, {}},
        {"the preparation fails", [](RecordingProtocol& p) { p.prepareAnswer = 5; }, 16420, 5, "check(2) prepare",
         false, {}},
        {"the completion fails", [](RecordingProtocol& p) { p.completeAnswer = 9; }, 16420, 9,
         "check(2) prepare complete", false, {}},
        {"a host filling the whole buffer is cut at its last byte",
         [&](RecordingProtocol& p) {
             p.prepareFlags = 8;
             p.preparePort = port;
             p.prepareFillsHost = true;
         },
         16386, 0, "check(2) prepare", false, {std::string(256, 'a')}},
        {"the connection fails",
         [](RecordingProtocol& p) {
             p.prepareFlags = 8;
             p.preparePort = 1;
             p.prepareHost = "127.0.0.1";
         },
         16387, 0, "check(2) prepare", false, loopback},
    };
    for (const Case& c : cases) {
        RecordingProtocol protocol;
        c.script(protocol);
        Request request;
        QORSysSPResult result = -1;
        {
            QORSockets socket;
            ASSERT_EQ(socket.SetExternalProtocol(&protocol), 0) << c.name;
            RecordingResolver resolver;
            EXPECT_EQ(socket.ConnectWithProtocol(&request, &result), c.expected) << c.name;
            EXPECT_EQ(resolver.hosts, c.lookups) << c.name;
            EXPECT_EQ(result, c.expectedResult) << c.name;
            EXPECT_EQ(protocol.calls, c.expectedCalls) << c.name;
            auto accepted = c.connects ? AcceptOne(*connector) : nullptr;
            EXPECT_EQ(accepted != nullptr, c.connects) << c.name;
        }
        EXPECT_EQ(protocol.releases, 1) << c.name;
    }
}

TEST(QORSocketsProtocol, SendFollowsTheProtocolsFlagsStepByStep) {
    struct Case {
        const char* name;
        std::vector<RecordingProtocol::SendStep> steps;
        int endAnswer;
        QORSysSPResult checkAnswer;
        bool closedBefore;
        int expected;
        QORSysSPResult expectedResult;
        std::string expectedCalls;
        std::string expectedWire;
        bool peerSeesEnd;
    };
    const Case cases[] = {
        {"send now, finished, close afterwards",
         {{2, "ab"}, {2, "cd"}, {2 | 1 | 4, "ef"}},
         0, 0, false, 0, 0, "check(2) begin next(1) next(2) end(3) close(0) release(3)", "abcdef", true},
        {"a step without the send flag sends nothing",
         {{0, "no"}, {2 | 1, "x"}},
         0, 0, false, 0, 0, "check(2) begin next(1) end(2) release(2)", "x", false},
        {"a failed step", {{2, "ab"}, {2, "cd", 6}}, 0, 0, false, 16419, 1,
         "check(2) begin next(1) end(1) release(1)", "ab", false},
        {"a failed begin", {{2, "ab", 3}}, 0, 0, false, 16419, 1, "check(2) begin end(0) release(0)", "", false},
        {"a failed end", {{2 | 1, "ab"}}, 8, 0, false, 16419, 1, "check(2) begin end(1) release(1)", "ab", false},
        {"the check refuses", {{2 | 1, "ab"}}, 0, 4, false, 16420, 4, "check(2)", "", false},
        {"the send fails", {{2 | 1, "ab"}}, 0, 0, true, 12290, 0, "close(0) check(2) begin end(1) release(1)", "",
         true},
    };
    for (const Case& c : cases) {
        RecordingProtocol protocol;
        RawPeer peer = MakeRawPeer();
        ASSERT_TRUE(peer.Ready()) << c.name;
        protocol.sendSteps = c.steps;
        protocol.endAnswer = c.endAnswer;
        protocol.checkAnswer = c.checkAnswer;
        ASSERT_EQ(peer.framed->SetExternalProtocol(&protocol), 0) << c.name;
        if (c.closedBefore) peer.framed->Close();
        Request request;
        QORSysSPResult result = -1;
        EXPECT_EQ(peer.framed->SendWithProtocol(&request, &result), c.expected) << c.name;
        EXPECT_EQ(result, c.expectedResult) << c.name;
        EXPECT_EQ(protocol.calls, c.expectedCalls) << c.name;
        EXPECT_EQ(RawRead(peer.raw.Get(), c.expectedWire.size()), c.expectedWire) << c.name;
        if (c.peerSeesEnd)
            EXPECT_TRUE(RawSeesEnd(peer.raw.Get())) << c.name;
        else
            EXPECT_TRUE(RawSeesNothing(peer.raw.Get())) << c.name;
        if (c.name == std::string("a failed step")) {
            EXPECT_NE(protocol.lastSendFlags & 0x20000000u, 0u);
        }
        if (c.name == std::string("the send fails")) {
            EXPECT_NE(protocol.lastSendFlags & 0x10000000u, 0u);
        }
    }
}

TEST(QORSocketsProtocol, ReceiveAndWaitGoThroughTheProtocol) {
    // Declared first: the sockets still tell the protocol of their close when they go.
    RecordingProtocol protocol;
    RawPeer peer = MakeRawPeer();
    ASSERT_TRUE(peer.Ready());
    QORSockets& s = *peer.framed;
    QORSockets fresh;
    Request request;
    QORISysSockProtocolRq* incoming = nullptr;
    QORISysSockProtocolRq* given = &request;
    QORSysSPResult result = -1;
    struct Case {
        const char* name;
        std::function<void()> script;
        std::function<int()> step;
        int expected;
    };
    const Case cases[] = {
        {"Connect without a protocol", [] {}, [&] { return fresh.ConnectWithProtocol(&request, &result); }, 16418},
        {"Connect with a NULL request", [] {}, [&] { return fresh.ConnectWithProtocol(nullptr, &result); }, 16420},
        {"Send without a protocol", [] {}, [&] { return s.SendWithProtocol(&request, &result); }, 16418},
        {"Receive without a protocol", [] {}, [&] { return s.ReceiveWithProtocol(&incoming, &result); }, 16418},
        {"Wait without a protocol", [] {}, [&] { return s.WaitWithProtocol(0, nullptr); }, 4099},
        {"install it", [] {}, [&] { return s.SetExternalProtocol(&protocol); }, 0},
        {"install it again", [] {}, [&] { return s.SetExternalProtocol(&protocol); }, 0},
        {"install another", [] {}, [&] {
             RecordingProtocol other;
             return s.SetExternalProtocol(&other);
         },
         16417},
        {"its id", [] {}, [&] { return std::strcmp(s.GetExternalProtocolId(), "recording"); }, 0},
        {"an extended operation", [] {}, [&] { return s.ExtOperation(&request, 2, nullptr); }, 42},
        {"Receive into NULL", [] {}, [&] { return s.ReceiveWithProtocol(nullptr, &result); }, 16420},
        {"Connect with NULL", [] {}, [&] { return s.ConnectWithProtocol(nullptr, &result); }, 16392},
        {"Send with NULL", [] {}, [&] { return s.SendWithProtocol(nullptr, &result); }, 16420},
        {"Receive refused by the check", [&] { protocol.checkAnswer = 11; },
         [&] { return s.ReceiveWithProtocol(&given, &result); }, 16420},
        {"the refusal's result", [&] { protocol.checkAnswer = 0; }, [&] { return result; }, 11},
        {"Receive answers the protocol's code",
         [&] {
             protocol.receiveCode = 77;
             protocol.receiveAnswer = 3;
         },
         [&] { return s.ReceiveWithProtocol(&incoming, &result); }, 77},
        {"its answer in the result", [] {}, [&] { return result; }, 3},
        {"WaitWithProtocol without the capability", [] {}, [&] { return s.WaitWithProtocol(100, nullptr); }, 4099},
        {"Wait when the protocol cannot wait", [&] { protocol.cannotWait = 0; }, [&] { return s.Wait(0); }, 4099},
        {"Wait ready", [&] { protocol.canWait = 0; }, [&] { return s.Wait(100); }, 0},
        {"Wait error", [&] { protocol.waitAnswer = 1; }, [&] { return s.Wait(100); }, 12290},
        {"Wait time-out", [&] { protocol.waitAnswer = 4; }, [&] { return s.Wait(100); }, 16395},
        {"Wait other answer", [&] { protocol.waitAnswer = 7; }, [&] { return s.WaitWithProtocol(100, &request); },
         4099},
        {"Receive that closes",
         [&] {
             protocol.receiveFlags = 4;
             protocol.receiveAnswer = 0;
             protocol.receiveCode = 0;
         },
         [&] { return s.ReceiveWithProtocol(&incoming, &result); }, 0},
        {"closed", [] {}, [&] { return s.GetHandler(); }, -1},
    };
    for (const Case& c : cases) {
        c.script();
        EXPECT_EQ(c.step(), c.expected) << c.name;
    }
    EXPECT_EQ(protocol.calls,
              "ext(2) check(2) receive wait(100) wait(100) wait(100) wait(100) receive close(0)");
    EXPECT_TRUE(RawSeesEnd(peer.raw.Get()));
    EXPECT_EQ(protocol.attaches, 1) << "installed twice, attached once: the last copy releases it once";
}

// The protocol hears of the close once and is let go once, however many copies there were.
TEST(QORSocketsProtocol, CopiesCloseAndReleaseOnceWhenTheLastGoes) {
    RecordingProtocol protocol;
    RawPeer peer = MakeRawPeer();
    ASSERT_TRUE(peer.Ready());
    ASSERT_EQ(peer.framed->SetExternalProtocol(&protocol), 0);
    {
        QORSockets first(*peer.framed);
        QORSockets second;
        second = first;
        peer.framed.reset();
        EXPECT_EQ(protocol.closeNotices, 0);
        EXPECT_EQ(first.Send("still", 5), 0);
        EXPECT_EQ(RawRead(peer.raw.Get(), 9), Header(5) + "still");
    }
    EXPECT_EQ(protocol.closeNotices, 1);
    EXPECT_EQ(protocol.releases, 1);
    EXPECT_TRUE(RawSeesEnd(peer.raw.Get()));
}
