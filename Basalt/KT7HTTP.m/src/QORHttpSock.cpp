// The raw-socket driver's TCP socket.

#include "QORHttpSock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "QORHttpErrors.h"
#include "QORSocketCreate.h"
#include "ZYNSysTraceClient.h"

#include <ws2tcpip.h>

namespace {

constexpr const char* kConnect = "QORHttpSock::Connect";
constexpr const char* kWait = "QORHttpSock::Wait";
constexpr const char* kAlive = "QORHttpSock::IsSocketAlive";
constexpr HRESULT kSendFailed = static_cast<HRESULT>(0x80072EE4);
constexpr HRESULT kNameNotResolved = static_cast<HRESULT>(0x80072EE7);
constexpr HRESULT kTimedOut = static_cast<HRESULT>(0x8007041D);

struct AddrInfoFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

// "QORHttpEnableLocalhost" and the computer name, read once for the process.
struct LocalhostRule {
    bool enabled = false;
    DWORD nameError = 0;
    char computerName[MAX_COMPUTERNAME_LENGTH + 2] = {};
};

const LocalhostRule& Localhost() {
    static const LocalhostRule rule = [] {
        LocalhostRule read;
        char value[8];
        read.enabled = ::GetEnvironmentVariableA("QORHttpEnableLocalhost", value, sizeof value) != 0 ||
                       ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (read.enabled) {
            DWORD size = sizeof read.computerName;
            if (!::GetComputerNameA(read.computerName, &size)) read.nameError = ::GetLastError();
        }
        return read;
    }();
    return rule;
}

// The system's text for a socket error, for the trace, as UTF-8 in out.
void SystemMessage(int code, char (&out)[1024]) {
    wchar_t text[512] = {};
    out[0] = '\0';
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                          static_cast<DWORD>(code), 0, text, 511, nullptr);
    if (length != 0) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out - 1, nullptr, nullptr);
    out[sizeof out - 1] = '\0';
}

}  // namespace

QORHttpSock::~QORHttpSock() = default;

HRESULT QORHttpSock::Connect(const char* host, std::uint32_t port, const char* proxyHost, std::uint32_t proxyPort,
                             std::uint32_t /*flags*/) {
    ResetReceiveState();
    if ((status_ & kConnected) != 0 && CloseConnection() != 0) {
        return TraceHttpError(&trace_, 0, kConnect, "CloseConnection", kSendFailed);
    }
    if (host == nullptr) return -1;
    if (!buffer_) return TraceHttpError(&trace_, 0, kConnect, "buffer", E_OUTOFMEMORY);

    std::string target;
    std::uint32_t targetPort = port;
    try {
        if (proxyHost != nullptr && *proxyHost != '\0') {
            target = proxyHost;
            targetPort = proxyPort;
        } else {
            target = host;
            if (target.size() >= 2 && target.front() == '[' && target.back() == ']') {
                target = target.substr(1, target.size() - 2);
            }
            const LocalhostRule& rule = Localhost();
            if (rule.enabled) {
                if (rule.nameError != 0) return TraceHttpError(&trace_, 0, kConnect, "GetComputerNameA", rule.nameError);
                if (_stricmp(target.c_str(), rule.computerName) == 0) target = "localhost";
            }
        }
    } catch (const std::bad_alloc&) {
        return TraceHttpOutOfMemory(&trace_, 0, kConnect, "target");
    }

    char service[16];
    std::snprintf(service, sizeof service, "%u", targetPort);
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(target.c_str(), service, &hints, &found);
    AddrInfoList list(found);
    if (resolved != 0) {
        if (trace_ != nullptr) {
            char message[1024];
            SystemMessage(resolved, message);
            ZYNSysTraceClient::InfoPrintf(trace_, "\t%s (getaddrinfo %s : %d %s)", kConnect, target.c_str(), resolved,
                                          message);
        }
        return TraceHttpError(&trace_, 0, kConnect, "getaddrinfo", kNameNotResolved);
    }

    for (const addrinfo* address = list.get(); address != nullptr; address = address->ai_next) {
        ZYNSysSocket candidate = QORSocketCreate(address->ai_family, address->ai_socktype, address->ai_protocol);
        if (!candidate) continue;
        const BOOL noDelay = TRUE;
        if (::setsockopt(candidate.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                         sizeof noDelay) != 0) {
            TraceHttpError(&trace_, 0, kConnect, "TCP_NODELAY", ::WSAGetLastError());
        }
        if (receiveTimeout_ != 0 &&
            ::setsockopt(candidate.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&receiveTimeout_),
                         sizeof receiveTimeout_) != 0) {
            TraceHttpError(&trace_, 0, kConnect, "SO_RCVTIMEO", ::WSAGetLastError());
        }
        if (sendTimeout_ != 0 &&
            ::setsockopt(candidate.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeout_),
                         sizeof sendTimeout_) != 0) {
            TraceHttpError(&trace_, 0, kConnect, "SO_SNDTIMEO", ::WSAGetLastError());
        }
        if (::connect(candidate.Get(), address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) continue;
        if (!SetHost(host)) return TraceHttpOutOfMemory(&trace_, 0, kConnect, "host");
        socket_ = std::move(candidate);
        status_ = kConnected;
        return 0;
    }
    return TraceHttpError(&trace_, 0, kConnect, "connect", E_FAIL);
}

HRESULT QORHttpSock::ConnectHTTP(const char* host, std::uint32_t port) {
    if (host == nullptr) return E_INVALIDARG;
    if (!socket_) return -1;
    char request[1024];
    const int length = std::snprintf(request, sizeof request,
                                     "CONNECT %s:%u HTTP/1.0\r\nUser-Agent: HTTP-QX-Proxy\r\nProxy-Connection: "
                                     "Keep-Alive\r\nContent-Length: 0\r\nHost: %s\r\nPragma: no-cache\r\n\r\n",
                                     host, port, host);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof request) return E_INVALIDARG;
    const HRESULT sent = Send(request, static_cast<std::uint32_t>(length));
    if (sent != length) return TraceHttpError(&trace_, 0, "QORHttpSock::ConnectHTTP", "Send", kSendFailed);
    readingProxyAnswer_ = true;
    QORHttpHeapText head;
    std::uint64_t headLength = 0;
    const HRESULT received = ReceiveHeader(head.Put(), &headLength);
    readingProxyAnswer_ = false;
    return received > 0 ? 0 : TraceHttpError(&trace_, 0, "QORHttpSock::ConnectHTTP", "ReceiveHeader", -4);
}

HRESULT QORHttpSock::Send(const char* data, std::uint32_t length) {
    if (!socket_) return -1;
    std::uint32_t sent = 0;
    while (sent < length) {
        const int piece = static_cast<int>(std::min(length - sent, kMaxSendPiece));
        const int result = ::send(socket_.Get(), data + sent, piece, 0);
        if (result == SOCKET_ERROR) {
            const int error = ::WSAGetLastError();
            if (trace_ != nullptr) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpSock::Send() : send error %d", error);
            return -error;
        }
        sent += static_cast<std::uint32_t>(result);
    }
    return static_cast<HRESULT>(sent);
}

std::uint32_t QORHttpSock::ReceiveFromBuff(char* buffer, std::uint32_t count) {
    const std::uint32_t taken = std::min(count, count_);
    if (taken != 0) std::memcpy(buffer, BufferedBytes(), taken);
    Consume(taken);
    return taken;
}

HRESULT QORHttpSock::ReceiveNetwork() {
    // With the body's length known, its end is reached without waiting for the peer: on a
    // kept connection nothing more would come.
    if (expectedLength_ >= 0 && receivedTotal_ >= static_cast<std::uint64_t>(expectedLength_)) {
        bodyComplete_ = true;
        return 0;
    }
    // Closed (by the peer's end or by us): nothing more comes.
    if (!socket_) return 0;
    std::uint32_t room = MakeRoom();
    if (room == 0) return -7;
    // What follows the body is not this answer's.
    if (expectedLength_ >= 0) {
        room = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(room, static_cast<std::uint64_t>(expectedLength_) - receivedTotal_));
    }
    const int got = ::recv(socket_.Get(), buffer_.get() + readPos_ + count_, static_cast<int>(room), 0);
    if (got == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        if (trace_ != nullptr) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpSock::ReceiveNetwork() : recv error %d", error);
        return -error;
    }
    if (got == 0) {
        CloseConnection();
        return 0;
    }
    count_ += static_cast<std::uint32_t>(got);
    receivedTotal_ += static_cast<std::uint32_t>(got);
    return got;
}

HRESULT QORHttpSock::Receive(char* buffer, std::uint32_t count, std::uint32_t* outGot) {
    std::uint32_t got = 0;
    HRESULT result = 0;
    while (got < count) {
        if (count_ == 0) {
            if (bodyComplete_) break;
            result = ReceiveNetwork();
            if (result < 1) break;
        }
        got += ReceiveFromBuff(buffer + got, count - got);
    }
    if (outGot != nullptr) *outGot = got;
    if (result < 0) return result;
    return static_cast<HRESULT>(got);
}

HRESULT QORHttpSock::ReceiveLine(char* buffer, std::uint32_t max, std::uint32_t* outLength) {
    if (!buffer_) return E_OUTOFMEMORY;
    for (;;) {
        const char* bytes = BufferedBytes();
        const void* end = count_ != 0 ? std::memchr(bytes, '\n', count_) : nullptr;
        if (end != nullptr) {
            const std::uint32_t length = static_cast<std::uint32_t>(static_cast<const char*>(end) - bytes) + 1;
            if (length > max) return -1;
            std::memcpy(buffer, bytes, length);
            buffer[length] = '\0';
            Consume(length);
            if (outLength != nullptr) *outLength = length;
            return static_cast<HRESULT>(length);
        }
        if (count_ >= max) return -1;
        const HRESULT result = ReceiveNetwork();
        if (result < 1) return result;
    }
}

HRESULT QORHttpSock::ReceiveHeader(char** outHead, std::uint64_t* outLength) {
    if (outHead == nullptr || outLength == nullptr) return E_INVALIDARG;
    *outHead = nullptr;
    *outLength = 0;
    if (!buffer_) return E_OUTOFMEMORY;
    try {
        std::string head;
        for (;;) {
            if (count_ == 0) {
                const HRESULT result = ReceiveNetwork();
                if (result < 1) return result;
            }
            const std::size_t old = head.size();
            head.append(BufferedBytes(), count_);
            const std::size_t from = old >= 3 ? old - 3 : 0;
            std::size_t end = std::string::npos;
            const std::size_t crlf = head.find("\r\n\r\n", from);
            if (crlf != std::string::npos) end = crlf + 4;
            const std::size_t lf = head.find("\n\n", from);
            if (lf != std::string::npos && lf + 2 < end) end = lf + 2;
            if (end != std::string::npos) {
                // Bytes behind the head stay in the buffer: they begin the body, and the
                // body's received total.
                Consume(static_cast<std::uint32_t>(end - old));
                receivedTotal_ = count_;
                if (end > kMaxHead) return -7;
                head.resize(end);
                char* text = static_cast<char*>(std::malloc(end + 1));
                if (text == nullptr) return E_OUTOFMEMORY;
                std::memcpy(text, head.data(), end + 1);
                *outHead = text;
                *outLength = end;
                return static_cast<HRESULT>(std::min<std::size_t>(end, 0x7FFFFFFF));
            }
            Consume(count_);
            // A head that never ends is not held: the server chooses its length.
            if (head.size() > kMaxHead) return -7;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT QORHttpSock::GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) {
    const std::uint32_t* field = nullptr;
    if (id == 2 || id == 6) field = &receiveTimeout_;
    if (id == 5) field = &sendTimeout_;
    if (field == nullptr || ioLength == nullptr) return E_INVALIDARG;
    if (value == nullptr) {
        *ioLength = sizeof(std::uint32_t);
        return 0;
    }
    if (*ioLength != sizeof(std::uint32_t)) return E_INVALIDARG;
    std::memcpy(value, field, sizeof(std::uint32_t));
    return 0;
}

HRESULT QORHttpSock::SetOptions(std::uint32_t id, const void* value, std::uint32_t length) {
    if (id == 2) return 0;
    std::uint32_t* field = nullptr;
    if (id == 5) field = &sendTimeout_;
    if (id == 6) field = &receiveTimeout_;
    if (field == nullptr || value == nullptr || length != sizeof(std::uint32_t)) return E_INVALIDARG;
    std::memcpy(field, value, sizeof(std::uint32_t));
    return 0;
}

HRESULT QORHttpSock::CloseConnection() {
    socket_.Reset();
    status_ = kClosed;
    return 0;
}

HRESULT QORHttpSock::Wait(std::uint32_t ms) {
    if (!socket_) return -1;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_.Get(), &readable);
        timeval limit = {static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
        const int ready = ::select(0, &readable, nullptr, nullptr, ms == 0xFFFFFFFF ? nullptr : &limit);
        if (ready == SOCKET_ERROR) {
            if (::WSAGetLastError() == WSAEINTR) continue;
            return TraceHttpError(&trace_, 0, kWait, "select 2", E_FAIL);
        }
        if (ready == 0) return TraceHttpError(&trace_, 0, kWait, "select", kTimedOut);
        u_long pending = 0;
        if (::ioctlsocket(socket_.Get(), FIONREAD, &pending) != 0 || pending == 0) {
            return TraceHttpError(&trace_, 0, kWait, "ioctl", E_FAIL);
        }
        return 0;
    }
}

HRESULT QORHttpSock::IsSocketAlive() {
    ResetReceiveState();
    if (!socket_) return -1;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_.Get(), &readable);
    timeval now = {0, 0};
    const int ready = ::select(0, &readable, nullptr, nullptr, &now);
    if (ready == 0) return 0;
    if (ready == 1) {
        char byte = 0;
        if (::recv(socket_.Get(), &byte, 1, MSG_PEEK) == 1) return 0;
        CloseConnection();
        return TraceHttpError(&trace_, 0, kAlive, "ioctl|recv", E_FAIL);
    }
    CloseConnection();
    return TraceHttpError(&trace_, 0, kAlive, "select", E_FAIL);
}
