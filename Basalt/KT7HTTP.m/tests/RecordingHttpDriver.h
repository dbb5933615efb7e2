#pragma once
// Drivers that answer every request from canned values and write each call into a shared log
// ("W1 Get http://h/a 0x400010 body len ka"), and a factory that makes them, for the tests of
// what the facade hands its driver. A driver's name is its type letter and its number.

#include <cstdint>
#include <string>
#include <vector>

#include "QORHttpDriver.h"
#include "QORHttpDriverFactory.h"

class RecordingHttpDriver : public QORHttpDriver {
public:
    RecordingHttpDriver(std::vector<std::string>& log, std::string name, char type, const char* userAgent,
                        std::uint16_t httpMajor, std::uint16_t httpMinor);
    ~RecordingHttpDriver() override;

    // Canned answers: every request answers `result`, puts `length` in a length output and the
    // first `length` bytes of `body` (all of it, NUL-terminated) in a body output.
    HRESULT result = 0;
    std::uint64_t length = 0;
    std::string body;
    std::string status = "200";  // the status-code query's text
    HRESULT sendResult = 0;
    HRESULT downloadResult = 0;
    std::string downloadBody = "error body";

    const std::string& Name() const { return name_; }
    // Header lines waiting for the request whose length no heap can copy: a driver swapped in
    // for this one fails to take its settings.
    void HoldUncopyableHeaders();
    // "ua=<agent> rt=<ms> st=<ms> ct=<ms> user=<name> pwd=<password>", then " headers=<lines>"
    // when header lines wait for the request.
    std::string Settings() const;

    HRESULT Connect(const char* host, std::uint32_t port, std::uint32_t accessType) override;
    HRESULT Connection(const char* url) override;
    HRESULT Get(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                std::uint32_t* outKeepAlive) override;
    HRESULT Head(const char* url, std::uint32_t flags, struct _stat64* stat) override;
    HRESULT Options(const char* url, std::uint32_t flags) override;
    HRESULT Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                   std::uint32_t* outKeepAlive) override;
    HRESULT Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                 std::uint32_t* outKeepAlive) override;
    HRESULT GetRange(const char* url, std::uint32_t flags, std::uint32_t mode, std::int64_t start,
                     std::int64_t endOrLength, char** outBody, std::uint64_t* outLength,
                     std::uint32_t* outKeepAlive) override;
    HRESULT PostStream(const char* url, std::uint32_t flags, std::uint32_t contentType, QORHttpStreamer* streamer,
                       std::uint32_t* outKeepAlive, char** outBody, std::uint64_t* outLength) override;
    HRESULT Post(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                 std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                 std::uint64_t* outLength) override;
    HRESULT Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                std::uint64_t* outLength) override;
    HRESULT Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                  std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                  std::uint64_t* outLength) override;
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
    HRESULT Download(std::uint64_t* ioLength, char** outBody) override;
    HRESULT DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody, std::uint32_t* ioDone) override;
    char GetType() override { return type_; }
    HRESULT OnRequestStart() override;
    HRESULT OnRequestEnd(std::uint32_t ok) override;
    HRESULT AnalysePath(const char* url) override;
    HRESULT Authenticate(const char* url, std::uint32_t status, const char* head) override;

private:
    void Write(const std::string& line);
    // Logs the call with the outputs given, then fills them.
    HRESULT Request(const std::string& call, char** outBody, std::uint64_t* outLength, std::uint32_t* outKeepAlive);
    static std::string BodyCall(const char* verb, const char* url, std::uint32_t flags, const char* data,
                                std::uint64_t length, std::uint32_t contentType);

    std::vector<std::string>& log_;
    std::string name_;
    char type_;
};

// Makes recording drivers: 'W' for WinINet, 'D' for raw sockets, 's' from the external builder
// when one is offered (or the builder hands back the driver it was given). Installed for its lifetime.
class RecordingDriverFactory : public QORHttpDriverFactory {
public:
    enum class Builder { Absent, MakesDriver, MakesNothing, ReturnsCurrent };

    RecordingDriverFactory();
    ~RecordingDriverFactory() override;
    RecordingDriverFactory(const RecordingDriverFactory&) = delete;
    RecordingDriverFactory& operator=(const RecordingDriverFactory&) = delete;

    std::vector<std::string> log;
    bool makesWinINet = true;
    bool makesRawSocket = true;
    Builder builder = Builder::Absent;
    // What each new driver answers.
    HRESULT result = 0;
    std::string status = "200";
    std::string body;
    std::uint64_t length = 0;
    // The driver made last (owned by its facade).
    RecordingHttpDriver* latest = nullptr;

    std::unique_ptr<QORHttpDriver> MakeWinINetDriver(const char* userAgent, std::uint16_t httpMajor,
                                                     std::uint16_t httpMinor) override;
    std::unique_ptr<QORHttpDriver> MakeRawSocketDriver(const char* userAgent, std::uint16_t httpMajor,
                                                       std::uint16_t httpMinor) override;
    QORHttpBuildDriverWithCopy FindBuilderWithCopy() override;

    // The log without the lines that contain `leaveOut`, joined by newlines.
    std::string Lines(const char* leaveOut = nullptr) const;

private:
    static QORHttpDriver* Build(QORHttpDriver* current);
    RecordingHttpDriver* Make(char type, const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor);
    int made_ = 0;
};
