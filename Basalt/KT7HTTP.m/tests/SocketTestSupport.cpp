#include "SocketTestSupport.h"

#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <chrono>

namespace SocketTest {

void BoundReceives(SOCKET socket, int limitMs) {
    const DWORD limit = static_cast<DWORD>(limitMs);
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

std::unique_ptr<QORSocketConnector> Listen() {
    auto connector = std::make_unique<QORSocketConnector>(0, 10, 2);
    if (connector->Declare("127.0.0.1") != 0) return nullptr;
    return connector;
}

std::unique_ptr<QORSockets> AcceptOne(QORSocketConnector& connector) {
    int limit = kLimitMs;
    if (connector.Select(&limit) < 1) return nullptr;
    QORSockets* accepted = nullptr;
    if (connector.Accept(&accepted) != 0) return nullptr;
    std::unique_ptr<QORSockets> owned(accepted);
    BoundReceives(static_cast<SOCKET>(owned->GetHandler()));
    return owned;
}

ZYNSysSocket RawConnect(unsigned short port, const char* address) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(address, std::to_string(port).c_str(), &hints, &list) != 0) return ZYNSysSocket();
    ZYNSysSocket socket(::socket(list->ai_family, SOCK_STREAM, IPPROTO_TCP));
    const bool connected = socket && ::connect(socket.Get(), list->ai_addr, static_cast<int>(list->ai_addrlen)) == 0;
    ::freeaddrinfo(list);
    if (!connected) return ZYNSysSocket();
    BoundReceives(socket.Get());
    return socket;
}

std::string RawRead(SOCKET socket, std::size_t n, int limitMs) {
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    char piece[65536];
    while (bytes.size() < n && std::chrono::steady_clock::now() < deadline) {
        const int want = static_cast<int>(std::min<std::size_t>(n - bytes.size(), sizeof piece));
        const int got = ::recv(socket, piece, want, 0);
        if (got <= 0) break;
        bytes.append(piece, static_cast<std::size_t>(got));
    }
    return bytes;
}

bool RawSend(SOCKET socket, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int sent = ::send(socket, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool RawSeesEnd(SOCKET socket) {
    char byte;
    return ::recv(socket, &byte, 1, 0) == 0;
}

bool RawSeesNothing(SOCKET socket, int limitMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &limit) == 0;
}

RawPeer MakeRawPeer() {
    RawPeer peer;
    peer.connector = Listen();
    if (!peer.connector) return peer;
    peer.raw = RawConnect(peer.connector->GetPort());
    if (peer.raw) peer.framed = AcceptOne(*peer.connector);
    return peer;
}

std::unique_ptr<FramedPair> MakeFramedPair() {
    auto pair = std::make_unique<FramedPair>();
    pair->connector = Listen();
    if (!pair->connector) return pair;
    if (pair->client.Connect(pair->connector->GetPort(), "127.0.0.1") != 0) return pair;
    BoundReceives(static_cast<SOCKET>(pair->client.GetHandler()));
    pair->server = AcceptOne(*pair->connector);
    return pair;
}

Watchdog::Watchdog(std::vector<SOCKET> sockets, std::string what, int limitMs)
    : thread_([this, sockets = std::move(sockets), what = std::move(what), limitMs] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (stop_.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return stopped_; })) return;
          ADD_FAILURE() << what << ": still waiting after " << limitMs << " ms";
          for (SOCKET s : sockets) ::shutdown(s, SD_BOTH);
      }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    stop_.notify_one();
    thread_.join();
}

std::string Header(unsigned length) {
    const char bytes[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                           static_cast<char>(length >> 8), static_cast<char>(length)};
    return std::string(bytes, 4);
}

}  // namespace SocketTest
