#pragma once
// The TCP socket of the raw-socket HTTP driver, over the receive buffer of QORBaseSock: it
// resolves and connects (to the server, or to the proxy), sends in pieces, receives into the
// buffer and tells whether a kept connection is still usable. Time-outs bound every send and
// receive. Nothing here throws.

#include <cstdint>

#include "QORBaseSock.h"
#include "ZYNSysSocketHandle.h"

class QORHttpSock : public QORBaseSock {
public:
    // Sends are cut into pieces of at most this many bytes.
    static constexpr std::uint32_t kMaxSendPiece = 64000;

    QORHttpSock() = default;
    ~QORHttpSock() override;

    HRESULT Send(const char* data, std::uint32_t length) override;
    HRESULT Receive(char* buffer, std::uint32_t count, std::uint32_t* outGot) override;
    HRESULT ReceiveLine(char* buffer, std::uint32_t max, std::uint32_t* outLength) override;
    HRESULT ReceiveHeader(char** outHead, std::uint64_t* outLength) override;
    std::uint32_t ReceiveFromBuff(char* buffer, std::uint32_t count) override;
    HRESULT ReceiveNetwork() override;
    // 2 and 6: the receive time-out, 5: the send time-out (4 bytes, ms).
    HRESULT GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) override;
    // 5: the send time-out, 6: the receive time-out; 2 is taken and ignored.
    HRESULT SetOptions(std::uint32_t id, const void* value, std::uint32_t length) override;
    HRESULT CloseConnection() override;
    // Until the socket is readable (0xFFFFFFFF: no limit); 0x8007041D at the time-out.
    HRESULT Wait(std::uint32_t ms) override;
    // 0 while a kept connection is usable; a connection the peer closed is closed here (E_FAIL).
    HRESULT IsSocketAlive() override;

    // --- The socket's own operations, in order. -------------------------------------------
    // host may be an IPv6 literal in brackets; with a proxy host the connection goes there.
    /* 19 */ virtual HRESULT Connect(const char* host, std::uint32_t port, const char* proxyHost,
                                     std::uint32_t proxyPort, std::uint32_t flags);
    // A tunnel through the proxy this socket is connected to; 0 when an answer head came.
    /* 20 */ virtual HRESULT ConnectHTTP(const char* host, std::uint32_t port);

    SOCKET Handle() const { return socket_.Get(); }

private:
    std::uint32_t receiveTimeout_ = 0;
    std::uint32_t sendTimeout_ = 0;
    ZYNSysSocket socket_;
    bool readingProxyAnswer_ = false;
};
