#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "SocketTestSupport.h"

using namespace SocketTest;

TEST(QORSocketConnector, AConnectorNotListeningAnswersItsCodes) {
    QORSocketConnector undeclared;
    QORSocketConnector fixedPort(4321, 10, 2);
    auto first = Listen();
    ASSERT_NE(first, nullptr);
    QORSocketConnector portTaken(first->GetPort(), 10, 2);
    QORSocketConnector badHost;
    QORSockets* accepted = reinterpret_cast<QORSockets*>(1);
    int limit = 10;
    struct Case {
        const char* name;
        std::function<int()> step;
        int expected;
    };
    const Case cases[] = {
        {"Accept before Declare", [&] { return undeclared.Accept(&accepted); }, 8200},
        {"the out pointer cleared", [&] { return accepted == nullptr ? 0 : 1; }, 0},
        {"Accept into NULL", [&] { return undeclared.Accept(nullptr); }, 8201},
        {"Select before Declare", [&] { return undeclared.Select(&limit); }, 8200},
        {"GetHandler before Declare", [&] { return undeclared.GetHandler(); }, -1},
        {"GetPort of port 0", [&] { return int{undeclared.GetPort()}; }, 0},
        {"GetPort of a given port", [&] { return int{fixedPort.GetPort()}; }, 4321},
        {"Declare on a port in use", [&] { return portTaken.Declare("127.0.0.1"); }, 8196},
        {"Accept after that", [&] { return portTaken.Accept(&accepted); }, 8200},
        {"Declare on an unknown host", [&] { return badHost.Declare("no-such-host.invalid"); }, 8197},
        {"Select with nothing waiting", [&] { return first->Select(&limit); }, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(c.step(), c.expected) << c.name;
}

TEST(QORSocketConnector, DeclareOnPortZeroListensOnTheBoundPort) {
    QORSocketConnector connector;
    ASSERT_EQ(connector.Declare(nullptr), 0);
    const unsigned short port = connector.GetPort();
    EXPECT_NE(port, 0);
    const int listening = connector.GetHandler();
    EXPECT_NE(listening, -1);

    ZYNSysSocket raw = RawConnect(port);
    ASSERT_TRUE(raw);
    int limit = kLimitMs;
    EXPECT_EQ(connector.Select(&limit), 1);
    QORSockets* accepted = nullptr;
    ASSERT_EQ(connector.Accept(&accepted), 0);
    std::unique_ptr<QORSockets> owned(accepted);
    EXPECT_EQ(owned->GetPort(), port);
    EXPECT_EQ(connector.GetHandler(), listening) << "the ready socket is cleared by Accept";
    EXPECT_EQ(owned->Send("hi", 2), 0);
    EXPECT_EQ(RawRead(raw.Get(), 6), Header(2) + "hi");
}

// One port for both families: a client reaches it over either loopback address.
TEST(QORSocketConnector, BothFamiliesListenOnOnePort) {
    struct Case {
        const char* name;
        int filter;
        bool overIPv4, overIPv6;
    };
    const Case cases[] = {
        {"filter 0", 0, true, true},
        {"filter 2", 2, true, false},
        {"filter 23", 23, false, true},
    };
    for (const Case& c : cases) {
        QORSocketConnector connector(0, 10, c.filter);
        ASSERT_EQ(connector.Declare(nullptr), 0) << c.name;
        const unsigned short port = connector.GetPort();
        struct Client {
            const char* address;
            bool expected;
        };
        for (const Client& client : {Client{"127.0.0.1", c.overIPv4}, Client{"::1", c.overIPv6}}) {
            QORSockets socket;
            EXPECT_EQ(socket.Connect(port, client.address) == 0, client.expected) << c.name << " over " << client.address;
            if (!client.expected) continue;
            auto accepted = AcceptOne(connector);
            ASSERT_NE(accepted, nullptr) << c.name << " over " << client.address;
            EXPECT_EQ(accepted->GetPort(), port) << c.name;
            EXPECT_EQ(socket.Send("x", 1), 0) << c.name;
            char byte = 0;
            unsigned length = 0;
            EXPECT_EQ(accepted->Receive(&byte, 1, &length), 0) << c.name;
            EXPECT_EQ(byte, 'x') << c.name;
        }
    }
}

// A failed accept must not leave the connector tied to the endpoint that failed: the next call
// selects again and takes a connection that came in on the other one.
TEST(QORSocketConnector, AcceptSelectsAgainAfterAFailedAccept) {
    QORSocketConnector connector(0, 10, 0);
    ASSERT_EQ(connector.Declare(nullptr), 0);
    const unsigned short port = connector.GetPort();
    ZYNSysSocket overIPv4 = RawConnect(port, "127.0.0.1");
    ASSERT_TRUE(overIPv4);
    int limit = kLimitMs;
    ASSERT_EQ(connector.Select(&limit), 1);
    // The IPv4 endpoint is the ready one. Its connection is taken here and it stops blocking,
    // so the connector's accept there fails at once.
    const SOCKET ready = static_cast<SOCKET>(connector.GetHandler());
    ZYNSysSocket taken(::accept(ready, nullptr, nullptr));
    ASSERT_TRUE(taken);
    u_long nonBlocking = 1;
    ASSERT_EQ(::ioctlsocket(ready, FIONBIO, &nonBlocking), 0);
    QORSockets* accepted = nullptr;
    ASSERT_EQ(connector.Accept(&accepted), 8199);

    ZYNSysSocket overIPv6 = RawConnect(port, "::1");
    ASSERT_TRUE(overIPv6);
    ASSERT_EQ(connector.Accept(&accepted), 0);
    std::unique_ptr<QORSockets> owned(accepted);
    EXPECT_EQ(owned->Send("6", 1), 0);
    EXPECT_EQ(RawRead(overIPv6.Get(), 5), Header(1) + "6");
}

TEST(QORSocketConnector, DeclareAsTakesTheServicePort) {
    QORSocketConnector connector;
    unsigned short port = 0;
    struct Case {
        const char* name;
        std::function<int()> step;
        int expected;
    };
    const Case cases[] = {
        {"NULL service", [&] { return connector.DeclareAs(nullptr, &port, 0, "tcp"); }, 8201},
        {"unknown service", [&] { return connector.DeclareAs("no-such-service", &port, 0, "tcp"); }, 8202},
        {"http, not declared now", [&] { return connector.DeclareAs("http", &port, 0, "tcp"); }, 0},
        {"the out port", [&] { return int{port}; }, 80},
        {"GetPort", [&] { return int{connector.GetPort()}; }, 80},
        {"without an out port", [&] { return connector.DeclareAs("https", nullptr, 0, "tcp"); }, 0},
        {"GetPort after that", [&] { return int{connector.GetPort()}; }, 443},
    };
    for (const Case& c : cases) EXPECT_EQ(c.step(), c.expected) << c.name;
}
