// QORSockets: moving bytes, framed and raw, and waiting for them.

#include <winsock2.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "QORSocketRecord.h"
#include "QORSocketTrace.h"
#include "QORSockets.h"

using namespace QORSocketCodes;

namespace {

constexpr unsigned kHeaderBytes = 4;
// The most a Peek may look ahead.
constexpr std::uint64_t kPeekLimit = 256000;

bool Interrupted() { return ::WSAGetLastError() == WSAEINTR; }

}  // namespace

int QORSocketRecvAll(SOCKET socket, char* buffer, unsigned length, unsigned* got) {
    unsigned done = 0;
    int result = 0;
    while (done < length) {
        const int n = ::recv(socket, buffer + done, static_cast<int>(std::min(length - done, kQORSocketPiece)), 0);
        if (n > 0) {
            done += static_cast<unsigned>(n);
            continue;
        }
        if (n < 0 && Interrupted()) continue;
        result = kReceiveFailed;
        break;
    }
    if (got) *got = done;
    return result;
}

int QORSocketSendAll(SOCKET socket, const char* buffer, unsigned length) {
    unsigned done = 0;
    while (done < length) {
        const int n = ::send(socket, buffer + done, static_cast<int>(std::min(length - done, kQORSocketPiece)), 0);
        if (n > 0) {
            done += static_cast<unsigned>(n);
            continue;
        }
        if (n < 0 && Interrupted()) continue;
        return kSendFailed;
    }
    return 0;
}

// select wakes at once while any byte waits, so it cannot wait for more of a range that has
// partly arrived: a peek that saw nothing new is followed by a short sleep instead of a spin.
// A peek on an empty stream blocks. Neither a peek nor a poll shows a close behind bytes not yet
// read, so a range that stops growing gives up after the socket's receive time-out, as a
// blocking receive would; without one it waits like any blocking receive.
int QORSocketPeekAll(SOCKET socket, char* buffer, unsigned length) {
    DWORD limitMs = 0;
    bool limitRead = false;
    int seen = -1;
    ULONGLONG stalledSince = 0;
    for (;;) {
        const int n = ::recv(socket, buffer, static_cast<int>(length), MSG_PEEK);
        if (n < 0 && Interrupted()) continue;
        if (n <= 0) return kReceiveFailed;
        if (static_cast<unsigned>(n) >= length) return 0;
        const ULONGLONG now = ::GetTickCount64();
        if (n != seen) {
            seen = n;
            stalledSince = now;
            continue;
        }
        // Read only once a range has stalled: each socket call is costly under emulation.
        if (!limitRead) {
            int size = sizeof limitMs;
            ::getsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&limitMs), &size);
            limitRead = true;
        }
        if (limitMs != 0 && now - stalledSince >= limitMs) return kReceiveFailed;
        ::Sleep(1);
    }
}

int QORSockets::Send(const void* buffer, unsigned length) {
    QOR_SOCKET_TRACE("QORSockets::Send (Buff=<%x>, Len=<%d>)", QORSocketTraceId(buffer), static_cast<int>(length));
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->state != 0) return kNotUsable;
    // Refused before the header goes out: a header without its payload puts the stream out of step.
    if (!buffer && length != 0) return kIncompleteSend;
    std::uint32_t header = ::htonl(length);
    const char* bytes = static_cast<const char*>(buffer);
    // The header and the first piece share one call: each call is costly under emulation.
    const unsigned first = std::min(length, kQORSocketPiece);
    WSABUF parts[2] = {{kHeaderBytes, reinterpret_cast<char*>(&header)},
                       {first, const_cast<char*>(bytes)}};
    DWORD sent = 0;
    int status;
    do {
        status = ::WSASend(r->socket.Get(), parts, first > 0 ? 2 : 1, &sent, 0, nullptr, nullptr);
    } while (status == SOCKET_ERROR && Interrupted());
    if (status == SOCKET_ERROR) return kSendFailed;
    if (sent < kHeaderBytes) return kIncompleteSend;
    const unsigned done = static_cast<unsigned>(sent) - kHeaderBytes;
    const int result = BasicSend(bytes ? bytes + done : nullptr, length - done);
    const int waited = Wait(0);
    return result == 0 && waited == kNotUsable ? kNotUsable : result;
}

int QORSockets::Receive(void* buffer, unsigned maximum, unsigned* length) {
    QOR_SOCKET_TRACE("QORSockets::Receive (Buff=<%x>, Len=<%d>, oLen=<%x>)", QORSocketTraceId(buffer),
                     static_cast<int>(maximum), QORSocketTraceId(length));
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->state != 0) return kNotUsable;
    // A header that arrived whole is only peeked, so that a refused message stays unread. One
    // that arrived in part is taken into the record and completed by blocking reads: a peek
    // never sees the peer close behind bytes not yet read, a read does.
    const SOCKET s = r->socket.Get();
    bool held = r->headerHeld > 0;
    while (!held) {
        const int n = ::recv(s, reinterpret_cast<char*>(r->header), kHeaderBytes, MSG_PEEK);
        if (n < 0 && Interrupted()) continue;
        if (n <= 0) return kReceiveFailed;
        if (static_cast<unsigned>(n) >= kHeaderBytes) break;
        held = true;
    }
    if (held) {
        unsigned got = 0;
        const int read = QORSocketRecvAll(s, reinterpret_cast<char*>(r->header) + r->headerHeld,
                                          kHeaderBytes - r->headerHeld, &got);
        r->headerHeld += got;
        if (read != 0) return read;
    }
    const unsigned char* header = r->header;
    const unsigned announced = (unsigned{header[0]} << 24) | (unsigned{header[1]} << 16) |
                               (unsigned{header[2]} << 8) | unsigned{header[3]};
    if (length) *length = announced;
    if (announced > maximum) return kTooLong;
    // Refused while the message is still unread, so that the stream stays in step.
    if (!buffer && announced != 0) return kShort;
    char* bytes = static_cast<char*>(buffer);
    if (held) {
        r->headerHeld = 0;
        return BasicReceive(bytes, announced, 0);
    }
    // The header and the first piece come in one call: each call is costly under emulation.
    const unsigned first = std::min(announced, kQORSocketPiece);
    WSABUF parts[2] = {{kHeaderBytes, reinterpret_cast<char*>(r->header)}, {first, bytes}};
    DWORD got = 0;
    DWORD flags = 0;
    int status;
    do {
        status = ::WSARecv(s, parts, first > 0 ? 2 : 1, &got, &flags, nullptr, nullptr);
    } while (status == SOCKET_ERROR && Interrupted());
    if (status == SOCKET_ERROR || got == 0) return kReceiveFailed;
    unsigned done = static_cast<unsigned>(got);
    if (done < kHeaderBytes) {
        const int read = QORSocketRecvAll(s, reinterpret_cast<char*>(r->header) + done, kHeaderBytes - done, nullptr);
        if (read != 0) return read;
        done = kHeaderBytes;
    }
    done -= kHeaderBytes;
    return BasicReceive(bytes ? bytes + done : nullptr, announced - done, 0);
}

int QORSockets::BasicSend(const void* buffer, unsigned length) {
    QOR_SOCKET_TRACE("QORSockets::BasicSend (Buff=<%x>, Len=<%d>)", QORSocketTraceId(buffer),
                     static_cast<int>(length));
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->state != 0) return kNotUsable;
    if (length == 0) return 0;
    if (!buffer) return kIncompleteSend;
    return QORSocketSendAll(r->socket.Get(), static_cast<const char*>(buffer), length);
}

int QORSockets::BasicReceive(void* buffer, unsigned length, int flag) {
    QOR_SOCKET_TRACE("QORSockets::BasicReceive (Buff=<%x>, Len=<%d>, Flag=<%x>)", QORSocketTraceId(buffer),
                     static_cast<int>(length), flag);
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->state != 0) return kNotUsable;
    if (length == 0) return 0;
    if (!buffer) return kShort;
    char* bytes = static_cast<char*>(buffer);
    if (flag == -1) {
        int n;
        do {
            n = ::recv(r->socket.Get(), bytes, static_cast<int>(std::min(length, kQORSocketPiece)), MSG_PEEK);
        } while (n < 0 && Interrupted());
        if (n <= 0) return kReceiveFailed;
        return static_cast<unsigned>(n) < length ? kShort : 0;
    }
    return QORSocketRecvAll(r->socket.Get(), bytes, length, nullptr);
}

int QORSockets::SmartReceive(void* buffer, unsigned length, int timeoutMs, unsigned* received, int flag) {
    QOR_SOCKET_TRACE("QORSockets::SmartReceive (Buff=<%x>, Len=<%d>, Timeout=<%d>, oLen=<%x>, Flag=<%x>)",
                     QORSocketTraceId(buffer), static_cast<int>(length), timeoutMs, QORSocketTraceId(received), flag);
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->state != 0) return kNotUsable;
    if (length == 0) return 0;
    if (!buffer) return kShort;
    char* bytes = static_cast<char*>(buffer);
    unsigned count = 0;
    for (int round = 0;; ++round) {
        u_long waiting = 0;
        if (::ioctlsocket(r->socket.Get(), FIONREAD, &waiting) != 0) return kNothingAvailable;
        const unsigned n = static_cast<unsigned>(std::min<u_long>(waiting, length - count));
        if (round > 0 && timeoutMs != 0 && n == 0) return count == 0 ? kNothingAvailable : kIncomplete;
        if (n > 0) {
            unsigned got = 0;
            const int read = QORSocketRecvAll(r->socket.Get(), bytes + count, n, &got);
            count += got;
            if (received) *received = count;
            if (read != 0) return read;
        }
        if (count == length) return 0;
        if (timeoutMs == 0) return kIncomplete;
        const int waited = Wait(timeoutMs);
        if (waited == kTimedOut) return kIncomplete;
        if (waited != 0) return waited;
    }
}

int QORSockets::Peek(void* buffer, int length, unsigned offset, int wait) {
    QOR_SOCKET_TRACE("QORSockets::Peek (Buff=<%x>, Len=<%d>, Offset=<%u>, Wait=<%d>)", QORSocketTraceId(buffer),
                     length, offset, wait);
    if (length < 0) return kMissingArgument;
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    // In 64 bits: offset and length must not wrap past the limit.
    const std::uint64_t total = std::uint64_t{offset} + static_cast<std::uint64_t>(length);
    if (total > kPeekLimit) return kShort;
    if (!buffer) return kNotUsable;
    std::unique_ptr<char[]> work;
    char* area = static_cast<char*>(buffer);
    if (offset > 0) {
        work.reset(new (std::nothrow) char[total]);
        if (!work) return kNotUsable;
        area = work.get();
    }
    if (total == 0) return 0;
    // A range larger than the receive buffer could never be seen whole: the buffer grows to it.
    int bufferSize = 0;
    int size = sizeof bufferSize;
    if (::getsockopt(r->socket.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&bufferSize), &size) == 0 &&
        static_cast<std::uint64_t>(bufferSize) < total) {
        const int wanted = static_cast<int>(total);
        ::setsockopt(r->socket.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&wanted), sizeof wanted);
    }
    const int peeked = QORSocketPeekAll(r->socket.Get(), area, static_cast<unsigned>(total));
    if (peeked != 0) return peeked;
    if (offset > 0) std::memcpy(buffer, area + offset, static_cast<std::size_t>(length));
    return 0;
}

int QORSockets::Wait(int timeoutMs) {
    QOR_SOCKET_TRACE("QORSockets::Wait (Timeout=<%d>)", timeoutMs);
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->protocol) {
        if (r->protocol->Supports(QORSysSPWaitsItself) == 0) return WaitWithProtocol(timeoutMs, nullptr);
        if (r->protocol->Supports(QORSysSPCannotWait) == 0) return kNoRecord;
    }
    const SOCKET s = r->socket.Get();
    int ready;
    do {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ready = ::select(0, &readable, nullptr, nullptr, timeoutMs < 0 ? nullptr : &limit);
    } while (ready == SOCKET_ERROR && Interrupted());
    if (ready > 0) return 0;
    return ready == 0 ? kTimedOut : kNotUsable;
}
