// Every socket of the stack is non-inheritable from its creation: a command started with
// inheritance on at that moment must not keep the connection open.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "QORHttpSock.h"
#include "QORSocketCreate.h"
#include "SocketTestSupport.h"

namespace {

// Whether each socket could be inherited as it was created (unreadable flags count as yes).
class InheritanceWatch final : public QORSocketCreationWatch {
public:
    InheritanceWatch() : previous_(QORSocketSetCreationWatch(this)) {}
    ~InheritanceWatch() override { QORSocketSetCreationWatch(previous_); }
    void Created(SOCKET socket) override {
        DWORD flags = 0;
        inheritable.push_back(!::GetHandleInformation(reinterpret_cast<HANDLE>(socket), &flags) ||
                              (flags & HANDLE_FLAG_INHERIT) != 0);
    }
    std::vector<bool> inheritable;

private:
    QORSocketCreationWatch* previous_;
};

}  // namespace

TEST(QORSocketCreate, EverySocketIsCreatedNonInheritable) {
    auto listening = SocketTest::Listen();
    ASSERT_NE(listening, nullptr);
    const unsigned short port = listening->GetPort();
    struct Case {
        const char* name;
        std::function<bool()> make;
    } cases[] = {
        {"QORSockets::Connect", [&] { return QORSockets().Connect(port, "127.0.0.1") == 0; }},
        {"QORSockets::ConnectTo", [&] { return QORSockets().ConnectTo(::htonl(INADDR_LOOPBACK), port) == 0; }},
        {"QORSocketConnector::Declare", [] { return QORSocketConnector().Declare("127.0.0.1") == 0; }},
        {"QORHttpSock::Connect", [&] { return QORHttpSock().Connect("127.0.0.1", port, nullptr, 0, 0) == 0; }},
    };
    for (const Case& c : cases) {
        InheritanceWatch watch;
        EXPECT_TRUE(c.make()) << c.name;
        EXPECT_EQ(watch.inheritable.size(), 1u) << c.name;
        EXPECT_EQ(std::count(watch.inheritable.begin(), watch.inheritable.end(), true), 0) << c.name;
    }
}
