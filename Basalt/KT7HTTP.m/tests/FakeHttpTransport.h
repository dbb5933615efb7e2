#pragma once
// A transport with canned answers, for the tests of the request routine and of what is built
// on the driver interface: each request takes the next scripted answer, and every request is
// recorded (verb, URL, flags, headers, body).

#include <cstdint>
#include <string>
#include <vector>

#include "QORHttpDriver.h"

class FakeHttpTransport : public QORHttpDriver {
public:
    struct Answer {
        std::string head;  // "HTTP/1.1 200 OK\r\n...\r\n\r\n"
        std::string body;  // what the reads give, whatever the head announces
        // Sizes of the successive reads (the last repeats); empty: everything at once.
        std::vector<std::uint32_t> pieces;
        // The availability query fails with this once failAfter body bytes were read.
        std::int64_t failAfter = -1;
        HRESULT failure = static_cast<HRESULT>(0x80072EE2);
        HRESULT sendResult = 0;
        // Bytes of 'x' the reads give after the body, without holding them.
        std::uint64_t filler = 0;
        // The reads fail with failure once readFailAfter body bytes were read.
        std::int64_t readFailAfter = -1;
    };
    struct Request {
        std::string verb;
        std::string url;
        std::uint32_t flags = 0;
        std::string headers;  // pending ones first, then those added to the open request
        std::string body;
        std::uint32_t hasBody = 0;
        bool streamed = false;
    };

    explicit FakeHttpTransport(std::vector<Answer> answers = {}, char type = 'W',
                               const char* userAgent = "fake transport");

    void Script(std::vector<Answer> answers);
    // A 200 with Content-Length, or a head as given with the body.
    static Answer Ok(const std::string& body, const std::string& extraHeaders = "");
    static Answer Status(int status, const std::string& extraHeaders = "", const std::string& body = "");

    std::vector<Request> requests;
    int authenticateCalls = 0;
    HRESULT authenticateResult = 0;
    int closeConnectionCalls = 0;
    int resetCalls = 0;
    std::vector<std::uint32_t> endHooks;  // the ok argument of each request-end hook
    int startHooks = 0;

    // What the base keeps, for the tests.
    std::uint32_t ReceiveTimeout() const { return receiveTimeout_; }
    std::uint32_t SendTimeout() const { return sendTimeout_; }
    std::uint32_t ConnectTimeout() const { return connectTimeout_; }
    const std::string& UserName() const { return userName_; }
    const std::string& Password() const { return password_; }
    const std::string& ProxyUserName() const { return proxyUserName_; }
    const std::string& ProxyPassword() const { return proxyPassword_; }
    std::int64_t DownloadState() const { return downloadState_; }

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
    char GetType() override { return type_; }
    HRESULT ResetRequest() override;
    HRESULT OnRequestStart() override;
    HRESULT OnRequestEnd(std::uint32_t ok) override;
    HRESULT CloseConnection() override;
    HRESULT QXInternetQueryDataAvailable(std::uint32_t* outAvailable) override;
    HRESULT QXInternetReadFile(std::uint64_t* ioLength, char* body, std::uint32_t toRead,
                               std::uint32_t* outRead) override;
    HRESULT AnalysePath(const char* url) override;
    HRESULT Authenticate(const char* url, std::uint32_t status, const char* head) override;

private:
    std::uint32_t NextPiece() const;
    std::uint64_t BodySize() const { return current_.body.size() + current_.filler; }

    std::vector<Answer> answers_;
    std::size_t nextAnswer_ = 0;
    Answer current_;
    bool answered_ = false;
    bool open_ = false;
    std::uint64_t read_ = 0;
    std::size_t reads_ = 0;
    char type_;
};
