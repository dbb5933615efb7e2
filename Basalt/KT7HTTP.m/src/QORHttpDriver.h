#pragma once
// The abstract base of every HTTP transport: the driver interface (its virtual operations, in
// this order), the option ids, the defaults, and the one request routine behind every verb.
// A transport implements the primitive operations (open, headers, send, close, response head,
// reads); the routine opens the request, sends the body, analyses the head, stores cookies,
// reads the body, follows redirects and retries authentication.
//
// Results are HRESULT-style: 0 (or a positive count) for success, a negative HRESULT for a
// failure, minus the HTTP status for a finished request whose status is not accepted. Texts
// handed to the caller are malloc'ed and freed by the caller. Nothing here throws.
// A driver serves one request at a time and is used by one thread at a time.

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "HttpStatistics.h"
#include "QORHttpHeapText.h"
#include "QORHttpPerfoCallback.h"
#include "QORHttpStreamer.h"
#include "ZYNSysTimer.h"
#include "ZYNSysWin.h"

class ZYNSysTraceClient;

// Option ids (values 4 bytes unless said otherwise).
constexpr std::uint32_t QORHTTP_OPTION_CONNECT_TYPE = 1;        // WinINet access type (ORed)
constexpr std::uint32_t QORHTTP_OPTION_CONNECT_TIMEOUT = 2;     // ms
constexpr std::uint32_t QORHTTP_OPTION_SEND_TIMEOUT = 5;        // ms
constexpr std::uint32_t QORHTTP_OPTION_RECEIVE_TIMEOUT = 6;     // ms
constexpr std::uint32_t QORHTTP_OPTION_USERNAME = 28;           // C string
constexpr std::uint32_t QORHTTP_OPTION_PASSWORD = 29;           // C string
constexpr std::uint32_t QORHTTP_OPTION_SECURITY = 31;           // security flags ORed into each request
constexpr std::uint32_t QORHTTP_OPTION_PROXY_USERNAME = 43;     // C string
constexpr std::uint32_t QORHTTP_OPTION_PROXY_PASSWORD = 44;     // C string
constexpr std::uint32_t QORHTTP_OPTION_HTTP_DECODING = 65;      // content decoding on/off
constexpr std::uint32_t QORHTTP_OPTION_SET_CALLBACK = 10000;    // 8 bytes: the callback pointer itself
constexpr std::uint32_t QORHTTP_OPTION_BODY_MODE = 10001;
constexpr std::uint32_t QORHTTP_OPTION_SET_CALLBACK_AUTO_DELETE = 10002;
constexpr std::uint32_t QORHTTP_OPTION_SET_HTTPREQUEST_END_EVENT = 10003;  // 8 bytes
constexpr std::uint32_t QORHTTP_OPTION_SET_PERFO_CALLBACK = 10004;         // 8 bytes: QORHttpPerfoCallback*
constexpr std::uint32_t QORHTTP_OPTION_DOWNLOAD_LIMITATION = 10100;        // 8 bytes
constexpr std::uint32_t QORHTTP_OPTION_UPLOAD_LIMITATION = 10101;          // 8 bytes
constexpr std::uint32_t QORHTTP_OPTION_URL_ENCODE_MODE = 0x20000000;
constexpr std::uint32_t QORHTTP_PARENT_WINDOW_HANDLER = 0x40000000;        // 8 bytes
constexpr std::uint32_t QORHTTP_KEEP_ERROR_BODY = 0x80000000;              // 0/1

// Defaults of a new driver.
constexpr std::uint32_t QORHTTP_DEFAULT_RECEIVE_TIMEOUT = 36000000;
constexpr std::uint32_t QORHTTP_DEFAULT_SEND_TIMEOUT = 36000000;
constexpr std::uint32_t QORHTTP_DEFAULT_CONNECT_TIMEOUT = 9500;
constexpr std::uint32_t QORHTTP_DEFAULT_BODY_MODE = 1;  // the routine reads the whole body
constexpr std::uint32_t QORHTTP_DEFAULT_URL_ENCODE_MODE = 0x80000007;
constexpr const char* QORHTTP_DEFAULT_USER_AGENT = "Pelvane HTTP CLIENT v2.1-QX";

// Request flags the routine itself looks at (WinINet INTERNET_FLAG values).
constexpr std::uint32_t QORHTTP_FLAG_NO_AUTO_REDIRECT = 0x200000;
constexpr std::uint32_t QORHTTP_FLAG_NO_AUTH = 0x40000;
constexpr std::uint32_t QORHTTP_FLAG_SKIP_SERVER_AUTH = 0x10000000;
constexpr std::uint32_t QORHTTP_FLAG_SKIP_PROXY_AUTH = 0x20000000;
constexpr std::uint32_t QORHTTP_FLAG_ONE_PIECE = 0x1000;  // body reads: one piece only

// Content types of the request routine's body.
enum QORHttpContentType : std::uint32_t {
    QORHTTP_CONTENT_FORM = 0,        // application/x-www-form-urlencoded
    QORHTTP_CONTENT_HTML = 1,        // text/HTML
    QORHTTP_CONTENT_TEXT = 2,        // text/plain (also every value from 8 on)
    QORHTTP_CONTENT_XML = 3,         // text/xml
    QORHTTP_CONTENT_XML_UTF8 = 4,    // text/xml;charset=utf-8
    QORHTTP_CONTENT_OCTETS = 5,      // application/octetstream
    QORHTTP_CONTENT_NONE = 6,        // no header and no body
    QORHTTP_CONTENT_NO_HEADER = 7,   // a body without a Content-Type header
};

// What AnalyseResponse reads from a response head.
struct QORHttpResponseInfo {
    std::uint32_t status = 0;
    std::uint32_t minorVersion = 0;
    std::uint64_t contentLength = 0;
    bool hasContentLength = false;
    std::uint32_t chunked = 0;
    std::uint32_t keepAlive = 1;
    std::string redirect;  // absolute target of a 3xx answer
    std::uint32_t hasBody = 1;
    std::uint32_t isText = 0;
    bool encoded = false;  // a Content-Encoding answer: a decoding transport changes its length
};

class QORHttpDriver {
public:
    // A body read into memory is refused above this size (-7).
    static constexpr std::uint64_t kMaxBodyInMemory = 64ull << 20;
    // Redirect and authentication rounds of one request.
    static constexpr std::uint32_t kMaxDepth = 10;

    QORHttpDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor);
    QORHttpDriver(const QORHttpDriver&) = delete;
    QORHttpDriver& operator=(const QORHttpDriver&) = delete;

    // --- The driver interface, in slot order. ---------------------------------------------
    /* 0 */ virtual ~QORHttpDriver();
    /* 1 */ virtual HRESULT Connect(const char* host, std::uint32_t port, std::uint32_t accessType) = 0;
    /* 2 */ virtual HRESULT Connection(const char* url) = 0;
    /* 3 */ virtual HRESULT Get(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                std::uint32_t* outKeepAlive);
    // stat may be the pointer value 1: the request is made and nothing is read.
    /* 4 */ virtual HRESULT Head(const char* url, std::uint32_t flags, struct _stat64* stat);
    /* 5 */ virtual HRESULT Options(const char* url, std::uint32_t flags);
    /* 6 */ virtual HRESULT Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                   std::uint32_t* outKeepAlive);
    /* 7 */ virtual HRESULT Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                 std::uint32_t* outKeepAlive);
    // mode 0: start and a length; mode 2: start and the last byte, or with start 0 the last
    // endOrLength bytes.
    /* 8 */ virtual HRESULT GetRange(const char* url, std::uint32_t flags, std::uint32_t mode, std::int64_t start,
                                     std::int64_t endOrLength, char** outBody, std::uint64_t* outLength,
                                     std::uint32_t* outKeepAlive);
    /* 9 */ virtual HRESULT PostStream(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                       QORHttpStreamer* streamer, std::uint32_t* outKeepAlive, char** outBody,
                                       std::uint64_t* outLength);
    /* 10 */ virtual HRESULT Post(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                  std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                  std::uint64_t* outLength);
    /* 11 */ virtual HRESULT Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                 std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                 std::uint64_t* outLength);
    /* 12 */ virtual HRESULT Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                   std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                   std::uint64_t* outLength);
    /* 13 */ virtual HRESULT OpenRequest(const char* verb, const char* url, std::uint32_t flags,
                                         const char** acceptTypes) = 0;
    /* 14 */ virtual HRESULT AddRequestHeaders(const char* headers, std::uint32_t flags) = 0;
    /* 15 */ virtual HRESULT SendRequest(const char* data, std::uint64_t length, std::uint32_t hasBody) = 0;
    /* 16 */ virtual HRESULT SendRequest(QORHttpStreamer* streamer, std::uint32_t retries) = 0;
    // mode has no effect; length is the whole body's (ignored when chunked).
    /* 17 */ virtual HRESULT BeginSendRequest(std::uint32_t mode, std::uint64_t length, std::uint32_t chunked) = 0;
    /* 18 */ virtual HRESULT SendRawData(const char* data, std::uint64_t length) = 0;
    /* 19 */ virtual HRESULT CloseRequest() = 0;
    /* 20 */ virtual HRESULT Reserved20();
    /* 21 */ virtual const char* GetUrl();
    // outText receives a new NUL-terminated malloc'ed text; ioIndex picks the occurrence of a
    // repeated header; query ids are WinINet's HTTP_QUERY numbers (customName with 0xFFFF).
    /* 22 */ virtual HRESULT GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex,
                                                std::uint32_t query, const char* customName) = 0;
    // The base serves the options every driver keeps (time-outs, credentials, body mode,
    // perfo callback, encode mode, keep-error-body); a transport serves its own and hands
    // the rest here.
    /* 23 */ virtual HRESULT GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength);
    /* 24 */ virtual HRESULT SetOptions(std::uint32_t id, const void* value, std::uint32_t length);
    /* 25 */ virtual HRESULT Download(std::uint64_t* ioLength, char** outBody);
    // Reads the body in steps; *ioBody receives each step's bytes (what it held is freed first).
    /* 26 */ virtual HRESULT DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody,
                                        std::uint32_t* ioDone);
    /* 27 */ virtual char GetType() = 0;
    /* 28 */ virtual HRESULT ResetRequest();
    /* 29 */ virtual HRESULT OnRequestStart();
    /* 30 */ virtual HRESULT OnRequestEnd(std::uint32_t ok);
    /* 31 */ virtual HRESULT Reserved31();
    /* 32 */ virtual void Trace(const char* data, std::uint64_t length, std::uint32_t isText);
    // The printable form: bytes 32 to 126 as they are, every other as "[%02X]".
    /* 33 */ virtual HRESULT ComputeTrace(const char* data, std::uint64_t length, std::string* out);
    // head is changed in place (header names lower-cased).
    /* 34 */ virtual HRESULT AnalyseResponse(const char* url, const char* verb, char* head, std::uint32_t flags,
                                             QORHttpResponseInfo* out);
    /* 35 */ virtual HRESULT GetCredentials(const char* url, std::uint32_t status, const char* scheme,
                                            const char* realm, char** outCredentials);
    // *ioBlock is malloc'ed (null for an empty block); flags 0x01000000 joins with "; ",
    // 0x40000000 with ", ".
    /* 36 */ virtual HRESULT CoalesceHeader(const char* header, std::uint32_t flags, std::uint64_t* ioLength,
                                            char** ioBlock);
    /* 37 */ virtual void FreePendingHeaders();
    // In place: the text never grows.
    /* 38 */ virtual HRESULT NormalizeUrl(char* url);
    /* 39 */ virtual HRESULT CloseConnection();
    /* 40 */ virtual HRESULT QXInternetQueryDataAvailable(std::uint32_t* outAvailable);
    // Reads toRead bytes at body + *ioLength, adding what was read to *ioLength.
    /* 41 */ virtual HRESULT QXInternetReadFile(std::uint64_t* ioLength, char* body, std::uint32_t toRead,
                                               std::uint32_t* outRead);
    // flags: 1 chunked (informational), 0x1000 one piece. *ioLength: the expected length in
    // (0 unknown), the length read out.
    /* 42 */ virtual HRESULT GetBody(std::uint32_t flags, std::uint64_t* ioLength, char** outBody);
    /* 43 */ virtual HRESULT AnalysePath(const char* url) = 0;
    /* 44 */ virtual HRESULT Authenticate(const char* url, std::uint32_t status, const char* head) = 0;
    // --- End of the driver interface. -----------------------------------------------------

    // The request routine behind every verb. extraHeaders is given by GetRange only; outKeepAlive
    // receives 0 when the server asked to close the connection.
    HRESULT HttpSendDataEx(const char* verb, const char* url, std::uint32_t flags, const char* extraHeaders,
                           const char* data, std::uint64_t length, std::uint32_t contentType,
                           std::uint32_t* outKeepAlive, char** outBody, std::uint64_t* outLength,
                           QORHttpStreamer* streamer, std::uint32_t depth);

    // Strips trailing blanks, CR and LF; fewer than two characters left give the default.
    HRESULT ManageUerAgent(const char* userAgent);
    const char* UserAgent() const { return userAgent_.c_str(); }
    std::uint16_t HttpMajor() const { return httpMajor_; }
    std::uint16_t HttpMinor() const { return httpMinor_; }

    // Copies what a caller set on another driver and the base keeps (user agent, time-outs,
    // body mode, keep-error-body, encode mode, credentials, perfo callback, header lines given
    // before the request opened): a driver swapped
    // in keeps the caller's settings.
    HRESULT CopyBaseSettings(const QORHttpDriver& from);

    // A header block or line for a trace, the values of Cookie, Set-Cookie, Authorization and
    // Proxy-Authorization masked.
    static std::string MaskSecretHeaders(const char* text, std::size_t length);

protected:
    // The base's options, traced under the caller's operation name ("QORHttpWDriver::SetOptions").
    // *handled is false for an id the base does not keep (nothing done, E_INVALIDARG returned).
    HRESULT SetBaseOption(const char* operation, std::uint32_t id, const void* value, std::uint32_t length,
                          bool* handled);
    HRESULT GetBaseOption(const char* operation, std::uint32_t id, void* value, std::uint32_t* ioLength,
                          bool* handled);
    // Tells the perfo callback (when set) the epoch time; slot as in QORHttpPerfoCallback.
    enum class Perfo { Connect, RequestEnd, DownloadEnd, UploadPieceStart, UploadPieceEnd, BodyReadStart, BodyReadEnd };
    void TellPerfo(Perfo point);
    // The analysis of a sent request's response: head, cookies, body.
    HRESULT AfterSend(const char* url, const char* verb, std::uint32_t* outStatus, std::uint32_t flags,
                      std::string* outRedirect, char** outBody, std::uint64_t* outLength,
                      std::uint32_t* outKeepAlive);
    // Merges header lines given while no request is open into the pending block (CoalesceHeader).
    HRESULT AddPendingHeaders(const char* headers, std::uint32_t flags);
    // The pending block (null when empty), for the transport to apply when the request opens.
    const char* PendingHeaders() const { return pendingHeaders_.Get(); }
    // A header's value read as a text (null when absent).
    HRESULT QueryHeaderText(std::uint32_t query, QORHttpHeapText* out);
    ZYNSysTraceClient* TraceClient() const { return trace_; }

    std::uint32_t keepErrorBody_ = 0;
    std::uint32_t receiveTimeout_ = QORHTTP_DEFAULT_RECEIVE_TIMEOUT;
    std::uint32_t sendTimeout_ = QORHTTP_DEFAULT_SEND_TIMEOUT;
    std::uint32_t connectTimeout_ = QORHTTP_DEFAULT_CONNECT_TIMEOUT;
    std::uint32_t bodyMode_ = QORHTTP_DEFAULT_BODY_MODE;
    // DownloadEx: -2 not started, -1 chunked, -4 no length known, else the Content-Length.
    std::int64_t downloadState_ = -2;
    // Set when the response asked to close the connection (the status callback of a
    // transport may set it from another thread).
    std::atomic<std::uint8_t> connectionClosed_{0};
    // 0 on a request's first attempt, 1 on its redirect and authentication rounds.
    std::uint8_t retrying_ = 0;
    std::uint32_t urlEncodeMode_ = QORHTTP_DEFAULT_URL_ENCODE_MODE;
    ZYNSysTimer readTimer_;
    ZYNSysTimer requestTimer_;
    std::uint64_t downloadExpected_ = 0;
    std::uint64_t downloadReceived_ = 0;
    // Header lines given while no request is open, merged by CoalesceHeader.
    QORHttpHeapText pendingHeaders_;
    std::uint64_t pendingHeadersLength_ = 0;
    std::string userAgent_;
    std::string userName_;
    std::string password_;
    std::string proxyUserName_;
    std::string proxyPassword_;
    std::string currentUrl_;
    std::uint8_t isHead_ = 0;
    ZYNSysTraceClient* trace_ = nullptr;
    std::uint16_t httpMajor_ = 1;
    std::uint16_t httpMinor_ = 1;
    HttpStatistics statistics_;
    QORHttpPerfoCallback* perfoCallback_ = nullptr;  // one reference held

private:
    // One Set-Cookie value of a response to the cookie store.
    HRESULT StoreCookie(const char* url, const char* line, std::uint32_t mode);
    // The 4-byte option the base keeps under the id, or null.
    std::uint32_t* BaseField(std::uint32_t id);
};
