#pragma once
// Loopback peers for the socket tests: a framework socket on one end, a raw Winsock socket
// (or another framework socket) on the other. Every blocking receive is bounded.

#include <winsock2.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QORSocketConnector.h"
#include "QORSockets.h"
#include "ZYNSysSocketHandle.h"

namespace SocketTest {

// The longest any receive of a test waits.
constexpr int kLimitMs = 3000;

// Bounds every blocking receive on the socket by limitMs.
void BoundReceives(SOCKET socket, int limitMs = kLimitMs);

// A connector on 127.0.0.1 with a port of the system's choosing.
std::unique_ptr<QORSocketConnector> Listen();

// The next connection of the connector, with bounded receives; NULL when none came in time.
std::unique_ptr<QORSockets> AcceptOne(QORSocketConnector& connector);

// A raw client of the port, with bounded receives; nothing owned when it cannot connect.
ZYNSysSocket RawConnect(unsigned short port, const char* address = "127.0.0.1");

// Up to n bytes, less when the peer closes or the limit passes.
std::string RawRead(SOCKET socket, std::size_t n, int limitMs = kLimitMs);
bool RawSend(SOCKET socket, const std::string& bytes);
// True when the peer closed: the next read sees the end of the stream in time.
bool RawSeesEnd(SOCKET socket);
// True when no byte arrives within limitMs.
bool RawSeesNothing(SOCKET socket, int limitMs = 100);

// A framed socket accepted from a raw client.
struct RawPeer {
    std::unique_ptr<QORSocketConnector> connector;
    ZYNSysSocket raw;
    std::unique_ptr<QORSockets> framed;
    bool Ready() const { return raw && framed; }
};
RawPeer MakeRawPeer();

// Two framed sockets: a client connected with Connect and the one its connector accepted.
struct FramedPair {
    std::unique_ptr<QORSocketConnector> connector;
    QORSockets client;
    std::unique_ptr<QORSockets> server;
    bool Ready() const { return server != nullptr; }
};
// Built in place: a QORSockets copy would share the connection.
std::unique_ptr<FramedPair> MakeFramedPair();

// Turns a hang into a failure: when still alive after limitMs, fails the test and shuts the
// sockets down, which ends the call that waits on them.
class Watchdog {
public:
    Watchdog(std::vector<SOCKET> sockets, std::string what, int limitMs = 10000);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopped_ = false;
    std::thread thread_;
};

// "\x00\x00\x00\x05" for 5: the framed header of a length.
std::string Header(unsigned length);

}  // namespace SocketTest
