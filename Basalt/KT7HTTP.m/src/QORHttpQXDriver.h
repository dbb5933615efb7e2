#pragma once
// The raw-socket transport of the HTTP driver interface (type 'D'): HTTP/1.x spoken over one
// TCP socket of its own, for plain-HTTP servers, directly or through the proxy the environment
// names ("QORHttpProxy", "QORHttpProxyPort"): through a proxy the request line carries the
// absolute URL and no tunnel is opened. It has no TLS and refuses "https:" URLs. The socket is
// kept across requests while the server stays the same and the connection alive. Cookies for a
// request come from the cookie store. Everything the server chooses is bounded: the head, the
// body in memory, chunk sizes, interim answers. Nothing here throws.

#include <cstdint>
#include <memory>
#include <string>

#include "QORHttpDriver.h"
#include "QORHttpHeapText.h"
#include "QORHttpSock.h"

class QORHttpQXDriver : public QORHttpDriver {
public:
    // Interim (1xx) answers skipped in a row before the answer is refused.
    static constexpr int kMaxInterimHeads = 8;
    // Request state bits.
    static constexpr std::uint32_t kChunkedUpload = 0x1;
    static constexpr std::uint32_t kHeadSent = 0x10;
    // The request flag that keeps the connection.
    static constexpr std::uint32_t kKeepConnection = 0x400000;
    // GetResponseHeaders' number flag.
    static constexpr std::uint32_t kAsNumber = 0x20000000;

    QORHttpQXDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor);
    ~QORHttpQXDriver() override;

    HRESULT Connect(const char* host, std::uint32_t port, std::uint32_t accessType) override;
    HRESULT Connection(const char* url) override;
    HRESULT OpenRequest(const char* verb, const char* url, std::uint32_t flags, const char** acceptTypes) override;
    HRESULT AddRequestHeaders(const char* headers, std::uint32_t flags) override;
    HRESULT SendRequest(const char* data, std::uint64_t length, std::uint32_t hasBody) override;
    HRESULT SendRequest(QORHttpStreamer* streamer, std::uint32_t retries) override;
    HRESULT BeginSendRequest(std::uint32_t mode, std::uint64_t length, std::uint32_t chunked) override;
    HRESULT SendRawData(const char* data, std::uint64_t length) override;
    HRESULT CloseRequest() override;
    HRESULT GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex, std::uint32_t query,
                               const char* customName) override;
    HRESULT GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) override;
    HRESULT SetOptions(std::uint32_t id, const void* value, std::uint32_t length) override;
    HRESULT DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody, std::uint32_t* ioDone) override;
    char GetType() override { return 'D'; }
    HRESULT ResetRequest() override { return E_NOTIMPL; }
    HRESULT CloseConnection() override;
    HRESULT QXInternetQueryDataAvailable(std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT QXInternetReadFile(std::uint64_t*, char*, std::uint32_t, std::uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetBody(std::uint32_t flags, std::uint64_t* ioLength, char** outBody) override;
    HRESULT AnalysePath(const char* url) override;
    HRESULT Authenticate(const char* url, std::uint32_t status, const char* head) override;

    // --- The raw-socket driver's own operation. -------------------------------------------
    // The request head (without the CRLF that closes it) in a new malloc'ed text.
    /* 45 */ virtual HRESULT RequestCreate(const char* verb, const char* path, const char* userAgentLine,
                                           std::uint32_t flags, const char* acceptLine, char** outRequest,
                                           std::uint64_t* outLength);

    // The URL's host, port and request target (absolute through a proxy); outExtra is always
    // empty. Connects or reuses the socket.
    HRESULT AnalysePath(const char* url, std::string* outHost, std::uint32_t* outPort, std::string* outPath,
                        std::string* outExtra);

    // For tests.
    QORHttpSock* Socket() const { return socket_.get(); }
    const char* RequestHead() const { return request_.Get(); }

private:
    HRESULT ReadResponseHead();
    HRESULT SendPieces(const char* data, std::uint64_t length);
    bool ThroughProxy() const;

    std::uint32_t port_ = 0;
    std::uint16_t requestMajor_ = 1;
    std::uint16_t requestMinor_ = 1;
    std::uint32_t securityFlags_ = 0;
    std::uint32_t requestState_ = 0;
    std::uint32_t bodyVerb_ = 0;
    std::string userAgentLine_;
    QORHttpHeapText responseHead_;
    std::uint64_t responseHeadLength_ = 0;
    QORHttpHeapText request_;
    std::uint64_t requestLength_ = 0;
    std::uint8_t lastChunkSent_ = 0;
    std::uint8_t requestClosed_ = 0;
    std::uint8_t isHttps_ = 0;
    std::unique_ptr<QORHttpSock> socket_;
    std::uint64_t uploadTotal_ = 0;
    std::uint64_t uploaded_ = 0;
    // A response whose body was not read to its end: the connection cannot carry another.
    bool bodyPending_ = false;
    // The proxy credentials the request carried (empty: none), told apart from newer ones.
    std::string proxyCredentialsSent_;
    void* callback_ = nullptr;
    std::uint32_t autoDelete_ = 0;
};
