// 100 MiB of framed 64 KiB messages over loopback (QORSockets::Send and Receive) beside a bare
// send/recv loop moving the same bytes in 64 KiB calls, measured in the same run (goal: framed at
// least 0.8x); then the same with 1 MiB messages, where the calls per message weigh less. Each
// figure is the best of five rounds; the kinds alternate so both see the same machine.
#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "QORSocketConnector.h"
#include "QORSockets.h"
#include "ZYNSysSocketHandle.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr unsigned kCall = 64 * 1024;
constexpr unsigned long long kTotal = 100ull * 1024 * 1024;
constexpr double kMiB = 1024.0 * 1024.0;

// MiB/s of one framed transfer of 100 MiB in messages of the given size; 0 when a call failed.
double FramedRound(unsigned kMessage) {
    const int kMessages = static_cast<int>(kTotal / kMessage);
    QORSocketConnector connector(0, 10, 2);
    if (connector.Declare("127.0.0.1") != 0) return 0;
    QORSockets client;
    if (client.Connect(connector.GetPort(), "127.0.0.1") != 0) return 0;
    QORSockets* raw = nullptr;
    if (connector.Accept(&raw) != 0) return 0;
    std::unique_ptr<QORSockets> server(raw);

    std::vector<char> out(kMessage, 'x'), in(kMessage);
    bool sent = true, received = true;
    const auto t0 = Clock::now();
    std::thread sender([&] {
        for (int i = 0; i < kMessages && sent; ++i) sent = client.Send(out.data(), kMessage) == 0;
    });
    for (int i = 0; i < kMessages && received; ++i) {
        unsigned length = 0;
        received = server->Receive(in.data(), kMessage, &length) == 0 && length == kMessage;
    }
    sender.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return sent && received ? kMessages * (kMessage / kMiB) / seconds : 0;
}

// The same bytes through plain send and recv calls of 64 KiB.
double BareRound() {
    constexpr unsigned kMessage = kCall;
    constexpr int kMessages = static_cast<int>(kTotal / kCall);
    ZYNSysSocket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::listen(listener.Get(), 1) != 0)
        return 0;
    ZYNSysSocket client(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 0;
    ZYNSysSocket server(::accept(listener.Get(), nullptr, nullptr));
    if (!server) return 0;

    std::vector<char> out(kMessage, 'x'), in(kMessage);
    const long long total = static_cast<long long>(kMessages) * kMessage;
    bool sent = true;
    long long got = 0;
    const auto t0 = Clock::now();
    std::thread sender([&] {
        for (int i = 0; i < kMessages && sent; ++i) {
            for (unsigned done = 0; done < kMessage && sent;) {
                const int n = ::send(client.Get(), out.data() + done, static_cast<int>(kMessage - done), 0);
                sent = n > 0;
                if (sent) done += static_cast<unsigned>(n);
            }
        }
    });
    while (got < total) {
        const int n = ::recv(server.Get(), in.data(), static_cast<int>(kMessage), 0);
        if (n <= 0) break;
        got += n;
    }
    sender.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return sent && got == total ? kMessages * (kMessage / kMiB) / seconds : 0;
}

}  // namespace

int main() {
    double framed = 0, framedLarge = 0, bare = 0;
    for (int round = 0; round < 5; ++round) {
        bare = std::max(bare, BareRound());
        framed = std::max(framed, FramedRound(kCall));
        framedLarge = std::max(framedLarge, FramedRound(16 * kCall));
    }
    if (framed == 0 || framedLarge == 0 || bare == 0) {
        std::printf("a transfer failed (framed %.0f and %.0f, bare %.0f MiB/s)\n", framed, framedLarge, bare);
        return 1;
    }
    std::printf("%-52s %8.0f MiB/s\n", "bare send/recv, 100 MiB in 64 KiB calls", bare);
    std::printf("%-52s %8.0f MiB/s  (%.2fx, goal >= 0.8x)\n", "QORSockets Send/Receive, 1600 x 64 KiB messages",
                framed, framed / bare);
    std::printf("%-52s %8.0f MiB/s  (%.2fx)\n", "QORSockets Send/Receive, 100 x 1 MiB messages", framedLarge,
                framedLarge / bare);
    return 0;
}
