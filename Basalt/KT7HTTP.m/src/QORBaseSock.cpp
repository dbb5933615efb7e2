// The receive buffer and the body readers of the raw-socket driver's socket.

#include "QORBaseSock.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "QORHttpErrors.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr const char* kChunks = "QORBaseSock::AnalyseChunks";
constexpr const char* kGetBody = "QORBaseSock::GetBody";
constexpr const char* kKeepReading = "QORBaseSock::KeepReading";
constexpr const char* kHeader = "QORBaseSock::GetResponseHeader";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A chunk-size line: hexadecimal digits, then an extension, blanks or the line end. False for
// no digit, another character, or a size beyond 64 bits.
bool ParseChunkSize(const char* line, std::uint64_t* out) {
    std::uint64_t size = 0;
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    const char* digits = p;
    for (int digit; (digit = HexDigit(*p)) >= 0; ++p) {
        if (size > (UINT64_MAX >> 4)) return false;
        size = (size << 4) | static_cast<std::uint64_t>(digit);
    }
    if (p == digits) return false;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != ';' && *p != '\r' && *p != '\n') return false;
    *out = size;
    return true;
}

// A malloc'ed body that grows geometrically, capped.
class GrowingBody {
public:
    explicit GrowingBody(char** slot) : slot_(slot) {}
    // Room for `needed` bytes and a NUL; false when out of memory.
    bool Reserve(std::uint64_t needed) {
        if (*slot_ != nullptr && needed <= capacity_) return true;
        std::uint64_t grown = std::max<std::uint64_t>(capacity_ * 2, 65536);
        grown = std::max(grown, needed);
        grown = std::min(grown, QORBaseSock::kMaxBody);
        char* larger = static_cast<char*>(std::realloc(*slot_, grown + 1));
        if (larger == nullptr) return false;
        *slot_ = larger;
        capacity_ = grown;
        return true;
    }
    void SetCapacityKnown(std::uint64_t capacity) { capacity_ = capacity; }

private:
    char** slot_;
    std::uint64_t capacity_ = 0;
};

}  // namespace

QORBaseSock::QORBaseSock() : buffer_(new (std::nothrow) char[kBufferSize + 1]) {
    ZYNSysTraceClient::Create(&trace_, "HTTP");
    if (buffer_) buffer_[0] = '\0';
}

QORBaseSock::~QORBaseSock() { ZYNSysTraceClient::Destroy(&trace_); }

HRESULT QORBaseSock::CloseConnection() {
    status_ = kClosed;
    return 0;
}

void QORBaseSock::ResetReceiveState() {
    count_ = 0;
    readPos_ = 0;
    receivedTotal_ = 0;
    expectedLength_ = -2;
    bodyComplete_ = false;
}

void QORBaseSock::Consume(std::uint32_t n) {
    n = std::min(n, count_);
    count_ -= n;
    readPos_ = count_ == 0 ? 0 : readPos_ + n;
}

std::uint32_t QORBaseSock::MakeRoom() {
    if (!buffer_) return 0;
    // Shifting only when the tail is used up keeps many small reads from moving the same
    // bytes again and again.
    if (readPos_ + count_ == kBufferSize && readPos_ != 0) {
        std::memmove(buffer_.get(), buffer_.get() + readPos_, count_);
        readPos_ = 0;
    }
    return kBufferSize - (readPos_ + count_);
}

bool QORBaseSock::SetHost(const char* host) {
    if (host == nullptr) {
        host_.Reset();
        return true;
    }
    char* copy = static_cast<char*>(std::malloc(std::strlen(host) + 1));
    if (copy == nullptr) return false;
    std::strcpy(copy, host);
    host_.Reset(copy);
    return true;
}

void QORBaseSock::SetContentLength(std::int64_t length) { expectedLength_ = length; }

bool QORBaseSock::IsBodyComplete() { return bodyComplete_; }

void QORBaseSock::SetBodyComplete(bool complete) { bodyComplete_ = complete; }

HRESULT QORBaseSock::GetResponseHeader(char** outHead, std::uint64_t* outLength) {
    const HRESULT result = ReceiveHeader(outHead, outLength);
    if (result > 0) return 0;
    if (result == -7) return TraceHttpError(&trace_, 0, kHeader, "head above the limit", -7);
    return TraceHttpError(&trace_, 0, kHeader, "ReceiveHeader", result == 0 ? -4 : result);
}

HRESULT QORBaseSock::ReceiveExactly(char* buffer, std::uint64_t count) {
    while (count > 0) {
        const std::uint32_t piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, kBufferSize));
        std::uint32_t got = 0;
        const HRESULT result = Receive(buffer, piece, &got);
        if (result < 0) return result;
        if (got != piece) return -4;  // the peer closed inside the body
        buffer += got;
        count -= got;
    }
    return 0;
}

HRESULT QORBaseSock::KeepReading(char** outBody, std::uint64_t* outLength) {
    *outBody = nullptr;
    *outLength = 0;
    GrowingBody body(outBody);
    std::uint64_t length = 0;
    for (;;) {
        if (length == kMaxBody) return TraceHttpError(&trace_, 0, kKeepReading, "body above the limit", -12);
        if (!body.Reserve(std::min(length + kBufferSize, kMaxBody))) {
            return TraceHttpError(&trace_, 0, kKeepReading, "realloc", E_OUTOFMEMORY);
        }
        const std::uint32_t piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBufferSize, kMaxBody - length));
        std::uint32_t got = 0;
        const HRESULT result = Receive(*outBody + length, piece, &got);
        length += got;
        *outLength = length;
        (*outBody)[length] = '\0';
        if (result < 0) return result;
        if (got == 0) {
            // The peer closed, or a known length was reached: that length frames the body.
            if (expectedLength_ >= 0 && length != static_cast<std::uint64_t>(expectedLength_)) return -4;
            return 0;
        }
    }
}

HRESULT QORBaseSock::SkipTrailers() {
    // The trailer lines after the last chunk, dropped up to the empty line: left on a kept
    // connection they would be read as the next response.
    char line[kMaxChunkLine + 1];
    std::uint64_t total = 0;
    for (;;) {
        std::uint32_t length = 0;
        const HRESULT result = ReceiveLine(line, kMaxChunkLine, &length);
        if (result < 1) return TraceHttpError(&trace_, 0, kChunks, "Receive trailer", -4);
        total += length;
        if (total > kMaxTrailers) return TraceHttpError(&trace_, 0, kChunks, "trailers above the limit", -7);
        if (std::strcmp(line, "\r\n") == 0 || std::strcmp(line, "\n") == 0) return 0;
    }
}

HRESULT QORBaseSock::AnalyseChunks(char** ioBody, std::uint64_t* ioLength, std::uint32_t flags) {
    GrowingBody body(ioBody);
    body.SetCapacityKnown(*ioBody != nullptr ? *ioLength : 0);
    char line[kMaxChunkLine + 1];
    for (;;) {
        std::uint32_t lineLength = 0;
        HRESULT result = ReceiveLine(line, kMaxChunkLine, &lineLength);
        if (result < 1) {
            if (trace_ != nullptr) {
                ZYNSysTraceClient::InfoPrintf(trace_, "\t%s (ReceiveLine %d : <%.64s>)", kChunks,
                                              static_cast<int>(result), result == -1 ? "" : line);
            }
            return TraceHttpError(&trace_, 0, kChunks, "ReceiveLine", -12);
        }
        std::uint64_t size = 0;
        if (!ParseChunkSize(line, &size)) return TraceHttpError(&trace_, 0, kChunks, "ReceiveLine for chunk", -7);
        if (size > UINT64_MAX - *ioLength) return TraceHttpError(&trace_, 0, kChunks, "chunk size overflow", -7);
        const std::uint64_t total = *ioLength + size;
        if (total > kMaxBody) return TraceHttpError(&trace_, 0, kChunks, "body above the limit", -12);
        if (size == 0) {
            bodyComplete_ = true;
            return SkipTrailers();
        }
        if (!body.Reserve(total)) return TraceHttpError(&trace_, 0, kChunks, "realloc", E_OUTOFMEMORY);
        result = ReceiveExactly(*ioBody + *ioLength, size);
        if (result != 0) return TraceHttpError(&trace_, 0, kChunks, "Receive chunk", -4);
        *ioLength = total;
        (*ioBody)[total] = '\0';
        char crlf[2];
        result = ReceiveExactly(crlf, 2);
        if (result != 0 || crlf[0] != '\r' || crlf[1] != '\n') {
            return TraceHttpError(&trace_, 0, kChunks, "Receive CRLF", -4);
        }
        if ((flags & kOnePiece) != 0) return 0;
    }
}

HRESULT QORBaseSock::ReadOnePiece(char** outBody, std::uint64_t* outLength) {
    if (count_ == 0 && !bodyComplete_) {
        MakeRoom();
        const HRESULT result = ReceiveNetwork();
        if (result < 0) return result;
    }
    if (count_ == 0) {
        // The peer closed: before a known length, the body was cut short.
        if (expectedLength_ >= 0 && receivedTotal_ < static_cast<std::uint64_t>(expectedLength_)) return -4;
        return 0;
    }
    char* piece = static_cast<char*>(std::malloc(count_ + 1));
    if (piece == nullptr) return E_OUTOFMEMORY;
    const std::uint32_t got = ReceiveFromBuff(piece, count_);
    piece[got] = '\0';
    *outBody = piece;
    *outLength = got;
    return 0;
}

HRESULT QORBaseSock::GetBody(std::uint32_t flags, std::uint64_t* ioLength, char** outBody) {
    if (ioLength == nullptr || outBody == nullptr) return TraceHttpError(&trace_, 0, kGetBody, "E_INVALIDARG", E_INVALIDARG);
    if (!buffer_) return TraceHttpError(&trace_, 0, kGetBody, "buffer", E_OUTOFMEMORY);
    *outBody = nullptr;
    QORHttpHeapText body;
    std::uint64_t length = 0;
    HRESULT result = 0;
    if ((flags & kChunked) != 0) {
        result = AnalyseChunks(body.Put(), &length, flags);
        if (result != 0) return TraceHttpError(&trace_, 0, kGetBody, "AnalyseChunks",
                                                 result == -7 || result == -4 ? result : -12);
    } else if (*ioLength != 0) {
        const std::uint64_t expected = *ioLength;
        if (expected > kMaxBody) return TraceHttpError(&trace_, 0, kGetBody, "body above the limit", -12);
        body.Reset(static_cast<char*>(std::malloc(expected + 1)));
        if (!body) return TraceHttpError(&trace_, 0, kGetBody, "malloc", E_OUTOFMEMORY);
        result = ReceiveExactly(body.Get(), expected);
        if (result != 0) return TraceHttpError(&trace_, 0, kGetBody, "Receive", -12);
        body.Get()[expected] = '\0';
        length = expected;
        bodyComplete_ = true;
    } else if ((flags & kOnePiece) != 0) {
        result = ReadOnePiece(body.Put(), &length);
        if (result != 0) return TraceHttpError(&trace_, 0, kGetBody, "Receive", -12);
    } else {
        result = KeepReading(body.Put(), &length);
        if (result != 0) return TraceHttpError(&trace_, 0, kGetBody, "KeepReading", -12);
        bodyComplete_ = true;
    }
    if (length == 0) body.Reset();
    *ioLength = length;
    *outBody = body.Take();
    return 0;
}
