#pragma once
// The wire side of the raw-socket HTTP driver, apart from the socket itself: a fixed receive
// buffer and the readers built on it (header blocks, lines, bodies of known length, bodies up
// to the connection's end, chunked bodies). A derived class supplies the transport (send,
// receive, connect). Results are HRESULT-style: a positive count or 0 for success, negative
// for a failure (-4 framing, -7 malformed or oversized, -12 body read). Nothing here throws.

#include <cstdint>
#include <memory>

#include "QORHttpDriver.h"
#include "QORHttpHeapText.h"
#include "ZYNSysWin.h"

class ZYNSysTraceClient;

class QORBaseSock {
public:
    static constexpr std::uint32_t kBufferSize = 65536;
    // Status bits.
    static constexpr std::uint16_t kConnected = 0x1;
    static constexpr std::uint16_t kClosed = 0x2;
    // What a server may make us hold: a response head, a chunk-size or trailer line, the
    // trailer block, a body in memory.
    static constexpr std::uint64_t kMaxHead = 64 * 1024;
    static constexpr std::uint32_t kMaxChunkLine = 1024;
    static constexpr std::uint64_t kMaxTrailers = 64 * 1024;
    static constexpr std::uint64_t kMaxBody = QORHttpDriver::kMaxBodyInMemory;
    // Body-read flags.
    static constexpr std::uint32_t kChunked = 0x1;
    static constexpr std::uint32_t kOnePiece = 0x1000;

    QORBaseSock();
    QORBaseSock(const QORBaseSock&) = delete;
    QORBaseSock& operator=(const QORBaseSock&) = delete;

    // --- In slot order. --------------------------------------------------------------------
    /* 0 */ virtual ~QORBaseSock();
    // All of the bytes, in pieces; the count sent or a negative code.
    /* 1 */ virtual HRESULT Send(const char* data, std::uint32_t length) = 0;
    // count bytes, buffered ones first; the count got (short only at the peer's close), 0 when
    // nothing came, or a negative code.
    /* 2 */ virtual HRESULT Receive(char* buffer, std::uint32_t count, std::uint32_t* outGot) = 0;
    // One line with its CRLF (or LF), NUL-terminated in buffer (max + 1 bytes); -1 when longer.
    /* 3 */ virtual HRESULT ReceiveLine(char* buffer, std::uint32_t max, std::uint32_t* outLength) = 0;
    // The bytes up to and including the empty line, in a new malloc'ed text; -7 above kMaxHead.
    /* 4 */ virtual HRESULT ReceiveHeader(char** outHead, std::uint64_t* outLength) = 0;
    /* 5 */ virtual std::uint32_t ReceiveFromBuff(char* buffer, std::uint32_t count) = 0;
    // One receive into the free part of the buffer: its count, 0 at the peer's close, or minus
    // the socket error.
    /* 6 */ virtual HRESULT ReceiveNetwork() = 0;
    /* 7 */ virtual HRESULT GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) = 0;
    /* 8 */ virtual HRESULT SetOptions(std::uint32_t id, const void* value, std::uint32_t length) = 0;
    /* 9 */ virtual HRESULT CloseConnection();
    /* 10 */ virtual HRESULT Wait(std::uint32_t ms) = 0;
    /* 11 */ virtual HRESULT IsSocketAlive() = 0;
    // Until the peer closes, or with an expected length set until that length (-4 when the
    // body differs from it); on a failure *outBody still holds what came (its length given).
    /* 12 */ virtual HRESULT KeepReading(char** outBody, std::uint64_t* outLength);
    // *ioBody (malloc'ed, may be null) grows by the decoded chunks; *ioLength is its length.
    /* 13 */ virtual HRESULT AnalyseChunks(char** ioBody, std::uint64_t* ioLength, std::uint32_t flags);
    /* 14 */ virtual HRESULT GetResponseHeader(char** outHead, std::uint64_t* outLength);
    // flags kChunked: chunked; otherwise *ioLength bytes, or (0) up to the close, or with
    // kOnePiece what one read gives.
    /* 15 */ virtual HRESULT GetBody(std::uint32_t flags, std::uint64_t* ioLength, char** outBody);
    // The body's length (-2 unknown): once that many bytes came, nothing more is received.
    /* 16 */ virtual void SetContentLength(std::int64_t length);
    /* 17 */ virtual bool IsBodyComplete();
    /* 18 */ virtual void SetBodyComplete(bool complete);
    // --- End of the slots. -----------------------------------------------------------------

    const char* Host() const { return host_.Get(); }
    std::uint16_t Status() const { return status_; }
    void SetStatus(std::uint16_t status) { status_ = status; }
    // Forgets whatever was buffered and the body counters (a new request, a new connection).
    void ResetReceiveState();
    std::uint32_t Buffered() const { return count_; }

protected:
    // The buffered bytes start at buffer_ + readPos_.
    char* BufferedBytes() { return buffer_.get() + readPos_; }
    // Drops n buffered bytes from the front.
    void Consume(std::uint32_t n);
    // Moves the buffered bytes to the buffer's start when the free tail is gone; the free
    // space after the buffered bytes.
    std::uint32_t MakeRoom();
    // Replaces the host text (null: none); false when out of memory.
    bool SetHost(const char* host);
    ZYNSysTraceClient* TraceClient() const { return trace_; }

    QORHttpHeapText host_;
    std::uint16_t status_ = kClosed;
    std::unique_ptr<char[]> buffer_;  // kBufferSize + 1 bytes; null when out of memory
    std::uint32_t count_ = 0;
    std::uint32_t readPos_ = 0;
    std::uint64_t receivedTotal_ = 0;  // the body's bytes received, from the end of the head on
    std::int64_t expectedLength_ = -2;
    bool bodyComplete_ = false;
    ZYNSysTraceClient* trace_ = nullptr;

private:
    HRESULT ReceiveExactly(char* buffer, std::uint64_t count);
    HRESULT SkipTrailers();
    HRESULT ReadOnePiece(char** outBody, std::uint64_t* outLength);
};
