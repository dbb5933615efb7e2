#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "QORHttpCaches.h"

namespace {

TEST(QORHttpTextHash, MultipliesBy37AndStepsThroughLongTexts) {
    struct Case {
        const char* name;
        std::string text;
        std::uint32_t hash;
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"one letter", "a", 97},
        {"two letters", "ab", 97 * 37 + 98},
        {"a byte above 0x7F counts negative", "\xE9", 0x7FFFFFE9u},
        {"128 characters: every second", std::string(127, 'x') + "y", 482525696u},
        {"200 characters: every third", std::string(128, 'a') + std::string(72, 'b'), 754191303u},
    };
    for (const Case& c : cases) EXPECT_EQ(QORHttpTextHash(c.text.c_str()), c.hash) << c.name;
    // A skipped character does not count; a counted one does.
    EXPECT_EQ(QORHttpTextHash((std::string(127, 'x') + "y").c_str()), QORHttpTextHash(std::string(128, 'x').c_str()));
    EXPECT_NE(QORHttpTextHash((std::string(126, 'x') + "y").c_str()), QORHttpTextHash(std::string(127, 'x').c_str()));
    EXPECT_EQ(QORHttpTextHash(nullptr), 0u);
}

// Two texts of one hash under h x 37: 'a' x 37 + 'z' == 'b' x 37 + 'U'.
constexpr const char kCollidingA[] = "az.collide.example";
constexpr const char kCollidingB[] = "bU.collide.example";

ZYNSysInternetHandle OpenSession(const char* agent) {
    return ZYNSysInternetHandle(::InternetOpenA(agent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
}

// No request is made: WinINet connects only when a request is sent.
ZYNSysInternetHandle Connect(HINTERNET session, const char* host, INTERNET_PORT port) {
    return ZYNSysInternetHandle(
        ::InternetConnectA(session, host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
}

TEST(ZYNSysSessionCache, KeepsOneSessionPerUserAgentAndTable) {
    struct Case {
        const char* name;
        const char* key;
        int which;
        HRESULT result;
    };
    // Each key is this test's own: the cache lives as long as the test program.
    const Case cases[] = {
        {"first agent", "Agent/1 (sessions)", 0, 0},
        {"the same agent again", "Agent/1 (sessions)", 0, E_FAIL},
        {"other capitalisation hashes apart", "AGENT/1 (SESSIONS)", 0, 0},
        {"the second table", "Agent/1 (sessions)", 1, 0},
        {"any non-zero value is the second table", "Agent/1 (sessions)", 7, E_FAIL},
        {"a colliding agent", kCollidingA, 0, 0},
        {"the agent it collides with", kCollidingB, 0, 0},
    };
    ASSERT_EQ(QORHttpTextHash(kCollidingA), QORHttpTextHash(kCollidingB));
    for (const Case& c : cases) {
        const HINTERNET before = ZYNSysGetSession(c.key, c.which);
        ZYNSysInternetHandle session = OpenSession(c.key);
        ASSERT_TRUE(session) << c.name;
        const HINTERNET raw = session.Get();
        EXPECT_EQ(ZYNSysSetSession(c.key, session, c.which), c.result) << c.name;
        if (c.result == 0) {
            EXPECT_FALSE(session) << c.name << ": the cache owns it now";
            EXPECT_EQ(before, nullptr) << c.name;
            EXPECT_EQ(ZYNSysGetSession(c.key, c.which), raw) << c.name;
        } else {
            EXPECT_TRUE(session) << c.name << ": a refused session stays the caller's";
            EXPECT_NE(ZYNSysGetSession(c.key, c.which), raw) << c.name;
        }
    }
    ZYNSysInternetHandle session = OpenSession("Agent/2");
    ZYNSysInternetHandle none;
    EXPECT_EQ(ZYNSysSetSession(nullptr, session, 0), E_INVALIDARG);
    EXPECT_EQ(ZYNSysSetSession("Agent/2", none, 0), E_INVALIDARG);
    EXPECT_EQ(ZYNSysGetSession(nullptr, 0), nullptr);
    EXPECT_EQ(ZYNSysGetSession("Agent/never stored", 0), nullptr);
}

TEST(ZYNSysConnectionCache, FindsAConnectionOnlyForItsHostPortAndSession) {
    ZYNSysInternetHandle first = OpenSession("Agent/connections 1");
    ZYNSysInternetHandle second = OpenSession("Agent/connections 2");
    ASSERT_TRUE(first && second);
    const HINTERNET s1 = first.Get();
    const HINTERNET s2 = second.Get();
    struct Case {
        const char* name;
        const char* host;
        std::uint32_t port;
        HINTERNET session;
        HRESULT result;
    };
    const Case stores[] = {
        {"a host on 443", "h.connections.example", 443, s1, 0},
        {"the same again", "h.connections.example", 443, s1, E_FAIL},
        {"the same host and port in another session", "h.connections.example", 443, s2, 0},
        {"the same host on 80", "h.connections.example", 80, s1, 0},
        {"a colliding host", kCollidingA, 443, s1, 0},
        {"the host it collides with", kCollidingB, 443, s1, 0},
        {"port 65535", "top.connections.example", 65535, s1, 0},
        {"port 65536", "h.connections.example", 65536, s1, E_INVALIDARG},
        {"no host", nullptr, 443, s1, E_INVALIDARG},
        {"no session", "h.connections.example", 443, nullptr, E_INVALIDARG},
    };
    std::vector<std::pair<const Case*, HINTERNET>> stored;
    for (const Case& c : stores) {
        ZYNSysInternetHandle connection = Connect(s1, "h.connections.example", 443);
        ASSERT_TRUE(connection) << c.name;
        const HINTERNET raw = connection.Get();
        EXPECT_EQ(ZYNSysSetConnection(c.host, c.port, c.session, connection), c.result) << c.name;
        EXPECT_EQ(static_cast<bool>(connection), c.result != 0) << c.name << ": owner after the call";
        if (c.result == 0) stored.emplace_back(&c, raw);
    }
    for (const auto& [c, raw] : stored) {
        EXPECT_EQ(ZYNSysGetConnection(c->host, c->port, c->session), raw) << c->name;
    }
    const Case misses[] = {
        {"another port", "h.connections.example", 8443, s1, 0},
        {"another session", kCollidingA, 443, s2, 0},
        {"another host", "g.connections.example", 443, s1, 0},
        {"no host", nullptr, 443, s1, 0},
    };
    for (const Case& c : misses) EXPECT_EQ(ZYNSysGetConnection(c.host, c.port, c.session), nullptr) << c.name;
    EXPECT_EQ(ZYNSysGetConnection("H.Connections.Example", 443, s1), nullptr)
        << "other capitalisation hashes apart";
    // The sessions stay open: the cached connections were opened in them.
    static_cast<void>(first.Take());
    static_cast<void>(second.Take());
}

TEST(ZYNSysConnectionCache, EightThreadsStoreAndFindTheirOwnConnections) {
    constexpr int kThreads = 8;
    constexpr int kHosts = 40;
    ZYNSysInternetHandle session = OpenSession("Agent/threads");
    ASSERT_TRUE(session);
    const HINTERNET s = session.Get();
    std::atomic<int> sharedStored{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kHosts; ++i) {
                const std::string host = "t" + std::to_string(t) + "-" + std::to_string(i) + ".threads.example";
                ZYNSysInternetHandle connection = Connect(s, host.c_str(), 80);
                const HINTERNET raw = connection.Get();
                if (ZYNSysSetConnection(host.c_str(), 80, s, connection) != 0) ++wrong;
                if (ZYNSysGetConnection(host.c_str(), 80, s) != raw) ++wrong;
                ZYNSysInternetHandle shared = Connect(s, "shared.threads.example", 80);
                const HRESULT hr = ZYNSysSetConnection("shared.threads.example", 80, s, shared);
                if (hr == 0) ++sharedStored;
                else if (hr != E_FAIL) ++wrong;
                if (ZYNSysGetConnection("shared.threads.example", 80, s) == nullptr) ++wrong;
            }
            for (int i = 0; i < kHosts; ++i) {
                const std::string host = "t" + std::to_string(t) + "-" + std::to_string(i) + ".threads.example";
                if (ZYNSysGetConnection(host.c_str(), 80, s) == nullptr) ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(sharedStored.load(), 1);
    static_cast<void>(session.Take());
}

}  // namespace
