#pragma once
// The facade that keeps the driver choice of its base but hands most requests to the driver
// as they are: no body read of its own (the driver's body mode decides), no callback or body
// mode set per request, no request hooks around SendRequest.

#include "QORHttpFacade.h"

// Keeps the driver choice of the base but hands most requests to the driver unchanged: no body
// read of its own (the driver's body mode decides), no callback or body mode set per request.
class QORHttpDirectFacade : public QORHttpFacade {
public:
    QORHttpDirectFacade(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor);
    ~QORHttpDirectFacade() override;

    using QORHttpFacade::Delete;
    using QORHttpFacade::Link;

    HRESULT Connection(const char* url) override;
    HRESULT GetWithBody(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                        std::uint32_t* outKeepAlive) override;
    HRESULT GetRangeWithBody(const char* url, std::uint32_t flags, std::uint32_t mode, std::int64_t start,
                             std::int64_t endOrLength, char** outBody, std::uint64_t* outLength,
                             std::uint32_t* outKeepAlive) override;
    HRESULT PostStreamWithBody(const char* url, std::uint32_t flags, std::uint32_t contentType,
                               QORHttpStreamer* streamer, std::uint32_t* outKeepAlive, char** outBody,
                               std::uint64_t* outLength) override;
    HRESULT PostWithBody(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                         std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                         std::uint64_t* outLength) override;
    HRESULT Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                std::uint64_t* outLength) override;
    HRESULT Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                  std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                  std::uint64_t* outLength) override;
    HRESULT NotSupported() override;
    HRESULT Head(const char* url, struct _stat64* stat) override;
    HRESULT Options(const char* url, std::uint32_t flags) override;
    HRESULT Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                   std::uint32_t* outKeepAlive) override;
    HRESULT Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                 std::uint32_t* outKeepAlive) override;
    HRESULT OpenRequest(const char* verb, const char* url, std::uint32_t flags, const char** acceptTypes) override;
    HRESULT SendRequest(const char* data, std::uint64_t length) override;
    HRESULT SendRawData(const char* data, std::uint64_t length) override;
    HRESULT SetOptions(std::uint32_t id, const void* value, std::uint32_t length) override;
};
