// QORSockets: the stream operators of both wire modes.

#include <winsock2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QORSocketRecord.h"
#include "QORSocketTrace.h"
#include "QORSockets.h"

using namespace QORSocketCodes;

namespace {

// A value text holds at most 63 characters and its end.
constexpr int kValueText = 64;
// Wide enough for "%f" of the largest double and the separator.
constexpr int kNumberText = 400;

bool TextMode(const QORSocketRecord* r) { return r && r->mode == 1; }

// Text goes out raw, and only on a connected socket.
int SendText(QORSockets& socket, const QORSocketRecord* r, const char* text, unsigned length) {
    if (r->state != 0) return QORSocketCodes::kNotUsable;
    return socket.BasicSend(text, length);
}

}  // namespace

int QORSockets::StringifiedReceive(char* text) {
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->state != 0) return kNotUsable;
    for (int i = 0; i < kValueText; ++i) {
        char c = 0;
        const int read = QORSocketRecvAll(r->socket.Get(), &c, 1, nullptr);
        if (read != 0) {
            text[i] = '\0';
            return read;
        }
        if (c == r->separator) {
            text[i] = '\0';
            return 0;
        }
        text[i] = c;
    }
    text[kValueText - 1] = '\0';
    return 0;
}

QORSockets& QORSockets::operator<<(int value) {
    QOR_SOCKET_TRACE("QORSockets::operator<< (int=<%d>)", value);
    if (!record_) return *this;
    if (TextMode(record_)) {
        char text[kNumberText];
        const int n = std::snprintf(text, sizeof text, "%i%c", value, record_->separator);
        SendText(*this, record_, text, static_cast<unsigned>(n));
    } else {
        const std::uint32_t wire = ::htonl(static_cast<std::uint32_t>(value));
        Send(&wire, sizeof wire);
    }
    return *this;
}

QORSockets& QORSockets::operator<<(float value) {
    QOR_SOCKET_TRACE("QORSockets::operator<< (float=<%f>)", static_cast<double>(value));
    if (!record_) return *this;
    if (TextMode(record_)) {
        char text[kNumberText];
        const int n = std::snprintf(text, sizeof text, "%f%c", static_cast<double>(value), record_->separator);
        SendText(*this, record_, text, static_cast<unsigned>(n));
    } else {
        Send(&value, sizeof value);
    }
    return *this;
}

QORSockets& QORSockets::operator<<(double value) {
    QOR_SOCKET_TRACE("QORSockets::operator<< (double=<%f>)", value);
    if (!record_) return *this;
    if (TextMode(record_)) {
        char text[kNumberText];
        const int n = std::snprintf(text, sizeof text, "%.9f%c", value, record_->separator);
        SendText(*this, record_, text, static_cast<unsigned>(n));
    } else {
        Send(&value, sizeof value);
    }
    return *this;
}

QORSockets& QORSockets::operator<<(const char* text) {
    QOR_SOCKET_TRACE("QORSockets::operator<< (char*=<%x>)", QORSocketTraceId(text));
    if (!record_ || !text) return *this;
    const unsigned length = static_cast<unsigned>(std::strlen(text));
    if (TextMode(record_)) {
        char prefix[kNumberText];
        const int n = std::snprintf(prefix, sizeof prefix, "%i%c", static_cast<int>(length), record_->separator);
        if (SendText(*this, record_, prefix, static_cast<unsigned>(n)) != 0) return *this;
        if (SendText(*this, record_, text, length) != 0) return *this;
        SendText(*this, record_, &record_->separator, 1);
    } else {
        Send(text, length + 1);
    }
    return *this;
}

QORSockets& QORSockets::operator>>(int& value) {
    QOR_SOCKET_TRACE("QORSockets::operator>> (int&=<%x>)", QORSocketTraceId(&value));
    if (!record_) return *this;
    if (TextMode(record_)) {
        char text[kValueText];
        if (StringifiedReceive(text) == 0) value = std::atoi(text);
    } else {
        std::uint32_t wire = 0;
        unsigned length = 0;
        if (Receive(&wire, sizeof wire, &length) == 0 && length == sizeof wire)
            value = static_cast<int>(::ntohl(wire));
    }
    return *this;
}

QORSockets& QORSockets::operator>>(float& value) {
    QOR_SOCKET_TRACE("QORSockets::operator>> (float&=<%x>)", QORSocketTraceId(&value));
    if (!record_) return *this;
    if (TextMode(record_)) {
        char text[kValueText];
        if (StringifiedReceive(text) == 0) value = static_cast<float>(std::atof(text));
    } else {
        float wire = 0;
        unsigned length = 0;
        if (Receive(&wire, sizeof wire, &length) == 0 && length == sizeof wire) value = wire;
    }
    return *this;
}

QORSockets& QORSockets::operator>>(double& value) {
    QOR_SOCKET_TRACE("QORSockets::operator>> (double&=<%x>)", QORSocketTraceId(&value));
    if (!record_) return *this;
    if (TextMode(record_)) {
        char text[kValueText];
        if (StringifiedReceive(text) == 0) value = std::atof(text);
    } else {
        double wire = 0;
        unsigned length = 0;
        if (Receive(&wire, sizeof wire, &length) == 0 && length == sizeof wire) value = wire;
    }
    return *this;
}

QORSockets& QORSockets::operator>>(char* text) {
    QOR_SOCKET_TRACE("QORSockets::operator>> (char*=<%x>)", QORSocketTraceId(text));
    QORSocketRecord* r = record_;
    if (!r || !text) return *this;
    if (!TextMode(r)) {
        // A maximum of 0 learns the length and leaves the message; an empty message is taken
        // whole by that first call, and a second one would read the next message.
        unsigned announced = 0;
        if (Receive(text, 0, &announced) == kTooLong) Receive(text, announced, &announced);
        return *this;
    }
    char lengthText[kValueText];
    text[0] = '\0';
    if (StringifiedReceive(lengthText) != 0) return *this;
    const int length = std::atoi(lengthText);
    // A negative length announces nothing to read.
    if (length < 0 || r->state != 0) return *this;
    unsigned got = 0;
    QORSocketRecvAll(r->socket.Get(), text, static_cast<unsigned>(length), &got);
    text[got] = '\0';
    char separator = 0;
    QORSocketRecvAll(r->socket.Get(), &separator, 1, nullptr);
    return *this;
}
