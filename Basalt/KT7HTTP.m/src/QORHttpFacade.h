#pragma once
// The object through which a caller makes HTTP requests without knowing the transport: it owns
// one driver, forwards every operation to it and, when the environment variable "HTTPDriver" is
// set, replaces the driver before a request according to the URL's scheme. This base prepares
// per-request driver options and reads kept error bodies; QORHttpDirectFacade keeps the driver
// choice but hands most requests to the driver as they are.
//
// Results are the driver's HRESULT-style codes; every operation but SetCallback and
// NotSupported answers -1 when the facade has no driver. A facade serves one thread at a time.
// Nothing here throws.

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "QORHttpDriver.h"
#include "QORHttpStreamer.h"
#include "ZYNSysWin.h"

class QORMutex;

// What every operation answers without a driver.
constexpr HRESULT QORHTTP_FACADE_NO_DRIVER = static_cast<HRESULT>(0xFFFFFFFF);
// What NotSupported answers.
constexpr HRESULT QORHTTP_FACADE_NOT_SUPPORTED = static_cast<HRESULT>(0xFFFFFFF6);

class QORHttpFacade {
public:
    // The fourth argument has no effect.
    QORHttpFacade(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor, std::uint8_t flag);
    QORHttpFacade(const QORHttpFacade&) = delete;
    QORHttpFacade& operator=(const QORHttpFacade&) = delete;

    // --- In slot order. --------------------------------------------------------------------
    /* 0 */ virtual ~QORHttpFacade();
    // The callback object is not owned; it is handed to the driver as option 10000.
    /* 1 */ virtual HRESULT SetCallback(void* callback);
    /* 2 */ virtual HRESULT Connect(const char* host, std::uint32_t port, std::uint32_t accessType);
    /* 3 */ virtual HRESULT Connection(const char* url);
    /* 4 */ virtual HRESULT Get(const char* url, std::uint32_t flags, std::uint32_t* outKeepAlive);
    /* 5 */ virtual HRESULT GetWithBody(const char* url, std::uint32_t flags, char** outBody,
                                        std::uint64_t* outLength, std::uint32_t* outKeepAlive);
    /* 6 */ virtual HRESULT GetRange(const char* url, std::uint32_t flags, std::uint32_t mode, std::int64_t start,
                                     std::int64_t endOrLength, std::uint32_t* outKeepAlive);
    /* 7 */ virtual HRESULT GetRangeWithBody(const char* url, std::uint32_t flags, std::uint32_t mode,
                                             std::int64_t start, std::int64_t endOrLength, char** outBody,
                                             std::uint64_t* outLength, std::uint32_t* outKeepAlive);
    /* 8 */ virtual HRESULT PostStream(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                       QORHttpStreamer* streamer, std::uint32_t* outKeepAlive);
    /* 9 */ virtual HRESULT Post(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                 std::uint32_t contentType, std::uint32_t* outKeepAlive);
    /* 10 */ virtual HRESULT PostStreamWithBody(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                                QORHttpStreamer* streamer, std::uint32_t* outKeepAlive,
                                                char** outBody, std::uint64_t* outLength);
    /* 11 */ virtual HRESULT PostWithBody(const char* url, std::uint32_t flags, const char* data,
                                          std::uint64_t length, std::uint32_t contentType,
                                          std::uint32_t* outKeepAlive, char** outBody, std::uint64_t* outLength);
    /* 12 */ virtual HRESULT Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                 std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                 std::uint64_t* outLength);
    /* 13 */ virtual HRESULT Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                   std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                   std::uint64_t* outLength);
    /* 14 */ virtual HRESULT NotSupported();
    /* 15 */ virtual HRESULT Head(const char* url, struct _stat64* stat);
    /* 16 */ virtual HRESULT Options(const char* url, std::uint32_t flags);
    /* 17 */ virtual HRESULT Delete(const char* url, std::uint32_t flags, std::uint32_t* outKeepAlive);
    /* 18 */ virtual HRESULT Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                    std::uint32_t* outKeepAlive);
    /* 19 */ virtual HRESULT Link(const char* url, std::uint32_t flags, std::uint32_t* outKeepAlive);
    /* 20 */ virtual HRESULT Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                  std::uint32_t* outKeepAlive);
    /* 21 */ virtual HRESULT OpenRequest(const char* verb, const char* url, std::uint32_t flags,
                                         const char** acceptTypes);
    /* 22 */ virtual HRESULT AddRequestHeaders(const char* headers, std::uint32_t flags);
    // Without data or length after a body verb was opened, the request stays open for
    // SendRawData pieces; SendRawData with neither ends it.
    /* 23 */ virtual HRESULT SendRequest(const char* data, std::uint64_t length);
    /* 24 */ virtual HRESULT SendRawData(const char* data, std::uint64_t length);
    /* 25 */ virtual HRESULT CloseRequest();
    // customName only for the custom-header query, else null.
    /* 26 */ virtual HRESULT GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex,
                                                std::uint32_t query, const char* customName);
    /* 27 */ virtual HRESULT Download(std::uint64_t* ioLength, char** outBody);
    /* 28 */ virtual HRESULT DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody,
                                        std::uint32_t* ioDone);
    /* 29 */ virtual HRESULT GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength);
    /* 30 */ virtual HRESULT SetOptions(std::uint32_t id, const void* value, std::uint32_t length);
    // --- End of the slots. -----------------------------------------------------------------

    // Whether "HTTPDriver" is in the environment (any value, even an empty one).
    static bool HttpDriverSetInEnvironment();

protected:
    // Replaces the driver when "HTTPDriver" is set and the URL's scheme asks for the other
    // transport, under the facade class's process-wide lock. setInEnvironment is the calling
    // wrapper's once-read look at the variable.
    void SwapDriver(const char* url, bool setInEnvironment, QORMutex& classLock);
    // Hands an option to the driver and, when it took it, remembers it for a driver swapped in.
    HRESULT SetDriverOption(std::uint32_t id, const void* value, std::uint32_t length);
    // After a request whose body the caller wants: reads a kept error body (or any body the
    // driver left for reading) through Download.
    HRESULT ReadBodyAfter(HRESULT result, char** outBody, std::uint64_t* outLength);
    // The base wrappers' options before a request: the callback (when asked for and set), then
    // the body mode.
    void PrepareRequest(std::uint32_t bodyMode, bool withCallback);
    // Flags whose low four bits equal 1 lose them and gain WinINet's keep-connection flag.
    static std::uint32_t KeepConnection(std::uint32_t flags);

    std::unique_ptr<QORHttpDriver> driver_;
    void* callback_ = nullptr;
    std::uint32_t keepErrorBody_ = 0;
    std::uint32_t bodyPending_ = 0;

private:
    // The transport chosen at construction: raw sockets when "HTTPDriver" is set, else WinINet;
    // null when it cannot be made.
    void CreateDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor);
    // Options given to the driver that only a transport keeps; the base's own travel with
    // QORHttpDriver::CopyBaseSettings.
    struct RememberedOption {
        std::uint32_t id;
        std::vector<unsigned char> value;
    };
    // Fails (out of memory) when the base settings could not all be copied.
    HRESULT CarrySettings(QORHttpDriver& to, QORHttpDriver& from);
    std::vector<RememberedOption> options_;
    // The callback last given to the driver as an option, for a driver swapped in.
    void* givenCallback_ = nullptr;
};
