#include "RecordingHttpDriver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

RecordingDriverFactory* g_factory = nullptr;

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

const char* Given(const void* output, const char* name) { return output != nullptr ? name : "-"; }

// Line ends written out, so that a log line stays one line.
std::string Escaped(const char* text, std::size_t length) {
    if (text == nullptr) return "-";
    std::string out;
    for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
        if (text[i] == '\r') out += "\\r";
        else if (text[i] == '\n') out += "\\n";
        else out += text[i];
    }
    return out;
}

std::string Escaped(const char* text) { return text != nullptr ? Escaped(text, std::strlen(text)) : "-"; }

char* Copy(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

RecordingHttpDriver::RecordingHttpDriver(std::vector<std::string>& log, std::string name, char type,
                                         const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor)
    : QORHttpDriver(userAgent, httpMajor, httpMinor), log_(log), name_(std::move(name)), type_(type) {}

RecordingHttpDriver::~RecordingHttpDriver() { Write("deleted"); }

void RecordingHttpDriver::Write(const std::string& line) { log_.push_back(name_ + " " + line); }

void RecordingHttpDriver::HoldUncopyableHeaders() {
    AddPendingHeaders("X-Uncopyable: 1\r\n", 0x40000000);
    pendingHeadersLength_ = ~std::uint64_t{0} / 2;
}

std::string RecordingHttpDriver::Settings() const {
    return "ua=" + userAgent_ + " rt=" + std::to_string(receiveTimeout_) + " st=" + std::to_string(sendTimeout_) +
           " ct=" + std::to_string(connectTimeout_) + " user=" + userName_ + " pwd=" + password_ +
           (PendingHeaders() != nullptr ? " headers=" + Escaped(PendingHeaders()) : "");
}

HRESULT RecordingHttpDriver::Request(const std::string& call, char** outBody, std::uint64_t* outLength,
                                     std::uint32_t* outKeepAlive) {
    Write(call + " " + Given(outBody, "body") + " " + Given(outLength, "len") + " " + Given(outKeepAlive, "ka"));
    if (outBody != nullptr && !body.empty()) *outBody = Copy(body);
    if (outLength != nullptr) *outLength = length;
    if (outKeepAlive != nullptr) *outKeepAlive = 1;
    return result;
}

HRESULT RecordingHttpDriver::Connect(const char* host, std::uint32_t port, std::uint32_t accessType) {
    Write("Connect " + Escaped(host) + " " + std::to_string(port) + " " + std::to_string(accessType));
    return result;
}

HRESULT RecordingHttpDriver::Connection(const char* url) {
    Write("Connection " + Escaped(url));
    return result;
}

HRESULT RecordingHttpDriver::Get(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                 std::uint32_t* outKeepAlive) {
    return Request("Get " + Escaped(url) + " " + Hex(flags), outBody, outLength, outKeepAlive);
}

HRESULT RecordingHttpDriver::Head(const char* url, std::uint32_t flags, struct _stat64* stat) {
    Write("Head " + Escaped(url) + " " + Hex(flags) + " " + Given(stat, "stat"));
    return result;
}

HRESULT RecordingHttpDriver::Options(const char* url, std::uint32_t flags) {
    Write("Options " + Escaped(url) + " " + Hex(flags));
    return result;
}

HRESULT RecordingHttpDriver::Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                    std::uint32_t* outKeepAlive) {
    return Request("Delete " + Escaped(url) + " " + Hex(flags), outBody, outLength, outKeepAlive);
}

HRESULT RecordingHttpDriver::Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                  std::uint32_t* outKeepAlive) {
    return Request("Link " + Escaped(url) + " " + Hex(flags), outBody, outLength, outKeepAlive);
}

HRESULT RecordingHttpDriver::GetRange(const char* url, std::uint32_t flags, std::uint32_t mode, std::int64_t start,
                                      std::int64_t endOrLength, char** outBody, std::uint64_t* outLength,
                                      std::uint32_t* outKeepAlive) {
    return Request("GetRange " + Escaped(url) + " " + Hex(flags) + " " + std::to_string(mode) + " " +
                       std::to_string(start) + " " + std::to_string(endOrLength),
                   outBody, outLength, outKeepAlive);
}

HRESULT RecordingHttpDriver::PostStream(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                        QORHttpStreamer* streamer, std::uint32_t* outKeepAlive, char** outBody,
                                        std::uint64_t* outLength) {
    return Request("PostStream " + Escaped(url) + " " + Hex(flags) + " " + std::to_string(contentType) + " " +
                       Given(streamer, "streamer"),
                   outBody, outLength, outKeepAlive);
}

std::string RecordingHttpDriver::BodyCall(const char* verb, const char* url, std::uint32_t flags, const char* data,
                                          std::uint64_t length, std::uint32_t contentType) {
    return std::string(verb) + " " + Escaped(url) + " " + Hex(flags) + " " + Escaped(data, length) + " " +
           std::to_string(length) + " " + std::to_string(contentType);
}

HRESULT RecordingHttpDriver::Post(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                  std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                  std::uint64_t* outLength) {
    return Request(BodyCall("Post", url, flags, data, length, contentType), outBody, outLength, outKeepAlive);
}

HRESULT RecordingHttpDriver::Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                 std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                 std::uint64_t* outLength) {
    return Request(BodyCall("Put", url, flags, data, length, contentType), outBody, outLength, outKeepAlive);
}

HRESULT RecordingHttpDriver::Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                   std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                   std::uint64_t* outLength) {
    return Request(BodyCall("Patch", url, flags, data, length, contentType), outBody, outLength, outKeepAlive);
}

HRESULT RecordingHttpDriver::OpenRequest(const char* verb, const char* url, std::uint32_t flags,
                                         const char** acceptTypes) {
    Write("OpenRequest " + Escaped(verb) + " " + Escaped(url) + " " + Hex(flags) + " " +
          Given(acceptTypes, "accept"));
    return result;
}

HRESULT RecordingHttpDriver::AddRequestHeaders(const char* headers, std::uint32_t flags) {
    Write("AddRequestHeaders " + Escaped(headers) + " " + Hex(flags));
    // Kept for the request to come, as a real driver does before one is open.
    AddPendingHeaders(headers, flags);
    return result;
}

HRESULT RecordingHttpDriver::SendRequest(const char* data, std::uint64_t length, std::uint32_t hasBody) {
    Write("SendRequest " + Escaped(data, length) + " " + std::to_string(length) + " " + std::to_string(hasBody));
    return sendResult;
}

HRESULT RecordingHttpDriver::SendRequest(QORHttpStreamer* streamer, std::uint32_t retries) {
    Write("SendRequest " + std::string(Given(streamer, "streamer")) + " " + std::to_string(retries));
    return sendResult;
}

HRESULT RecordingHttpDriver::BeginSendRequest(std::uint32_t mode, std::uint64_t length, std::uint32_t chunked) {
    Write("BeginSendRequest " + std::to_string(mode) + " " + std::to_string(length) + " " + std::to_string(chunked));
    return sendResult;
}

HRESULT RecordingHttpDriver::SendRawData(const char* data, std::uint64_t length) {
    Write("SendRawData " + Escaped(data, length) + " " + std::to_string(length));
    return sendResult;
}

HRESULT RecordingHttpDriver::CloseRequest() {
    Write("CloseRequest");
    return result;
}

HRESULT RecordingHttpDriver::GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex,
                                                std::uint32_t query, const char* customName) {
    Write("GetResponseHeaders " + std::to_string(query) + " " + Given(ioLength, "len") + " " +
          Given(ioIndex, "index") + " " + Escaped(customName));
    if (outText == nullptr) return E_INVALIDARG;
    const std::string text = query == 19 ? status : "HTTP/1.1 " + status + " X\r\n\r\n";
    *outText = Copy(text);
    if (ioLength != nullptr) *ioLength = static_cast<std::uint32_t>(text.size());
    return 0;
}

HRESULT RecordingHttpDriver::GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) {
    Write("GetOptions " + std::to_string(id));
    return QORHttpDriver::GetOptions(id, value, ioLength);
}

HRESULT RecordingHttpDriver::SetOptions(std::uint32_t id, const void* value, std::uint32_t length) {
    std::string shown = "null";
    if (id == QORHTTP_OPTION_SET_CALLBACK) {
        // As the real drivers: the value is the callback itself, and null clears it.
        Write("SetOptions " + std::to_string(id) + " " +
              (value != nullptr ? Hex(reinterpret_cast<std::uintptr_t>(value)) : shown));
        return 0;
    }
    if (value != nullptr) {
        if (length == 4) {
            std::uint32_t number = 0;
            std::memcpy(&number, value, sizeof number);
            shown = std::to_string(number);
        } else if (length == 8) {
            std::uint64_t number = 0;
            std::memcpy(&number, value, sizeof number);
            shown = Hex(number);
        } else {
            shown = Escaped(static_cast<const char*>(value), length);
        }
    }
    Write("SetOptions " + std::to_string(id) + " " + shown);
    bool handled = false;
    const HRESULT base = SetBaseOption("RecordingHttpDriver::SetOptions", id, value, length, &handled);
    if (handled) return base;
    return value != nullptr ? 0 : E_INVALIDARG;
}

HRESULT RecordingHttpDriver::Download(std::uint64_t* ioLength, char** outBody) {
    Write("Download");
    if (outBody != nullptr) *outBody = Copy(downloadBody);
    if (ioLength != nullptr) *ioLength = downloadBody.size();
    return downloadResult;
}

HRESULT RecordingHttpDriver::DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody,
                                        std::uint32_t* ioDone) {
    Write("DownloadEx " + Hex(flags) + " " + Given(ioLength, "len") + " " + Given(ioBody, "body") + " " +
          Given(ioDone, "done"));
    return downloadResult;
}

HRESULT RecordingHttpDriver::OnRequestStart() {
    Write("OnRequestStart");
    return 0;
}

HRESULT RecordingHttpDriver::OnRequestEnd(std::uint32_t ok) {
    Write("OnRequestEnd " + std::to_string(ok));
    return 0;
}

HRESULT RecordingHttpDriver::AnalysePath(const char* url) {
    Write("AnalysePath " + Escaped(url));
    return 0;
}

HRESULT RecordingHttpDriver::Authenticate(const char* url, std::uint32_t status, const char*) {
    Write("Authenticate " + Escaped(url) + " " + std::to_string(status));
    return 0;
}

// ---- factory ------------------------------------------------------------------------------

RecordingDriverFactory::RecordingDriverFactory() {
    g_factory = this;
    QORHttpSetDriverFactory(this);
}

RecordingDriverFactory::~RecordingDriverFactory() {
    QORHttpSetDriverFactory(nullptr);
    g_factory = nullptr;
}

RecordingHttpDriver* RecordingDriverFactory::Make(char type, const char* userAgent, std::uint16_t httpMajor,
                                                  std::uint16_t httpMinor) {
    auto* driver = new RecordingHttpDriver(log, std::string(1, type) + std::to_string(++made_), type, userAgent,
                                           httpMajor, httpMinor);
    driver->result = result;
    driver->status = status;
    driver->body = body;
    driver->length = length;
    latest = driver;
    return driver;
}

std::unique_ptr<QORHttpDriver> RecordingDriverFactory::MakeWinINetDriver(const char* userAgent,
                                                                         std::uint16_t httpMajor,
                                                                         std::uint16_t httpMinor) {
    if (!makesWinINet) {
        log.push_back("make W refused");
        return nullptr;
    }
    log.push_back("make W" + std::to_string(made_ + 1) + " " + (userAgent ? userAgent : "-") + " " +
                  std::to_string(httpMajor) + "." + std::to_string(httpMinor));
    return std::unique_ptr<QORHttpDriver>(Make('W', userAgent, httpMajor, httpMinor));
}

std::unique_ptr<QORHttpDriver> RecordingDriverFactory::MakeRawSocketDriver(const char* userAgent,
                                                                           std::uint16_t httpMajor,
                                                                           std::uint16_t httpMinor) {
    if (!makesRawSocket) {
        log.push_back("make D refused");
        return nullptr;
    }
    log.push_back("make D" + std::to_string(made_ + 1) + " " + (userAgent ? userAgent : "-") + " " +
                  std::to_string(httpMajor) + "." + std::to_string(httpMinor));
    return std::unique_ptr<QORHttpDriver>(Make('D', userAgent, httpMajor, httpMinor));
}

QORHttpBuildDriverWithCopy RecordingDriverFactory::FindBuilderWithCopy() {
    return builder == Builder::Absent ? nullptr : &RecordingDriverFactory::Build;
}

QORHttpDriver* RecordingDriverFactory::Build(QORHttpDriver* current) {
    RecordingDriverFactory& self = *g_factory;
    const std::string from = static_cast<RecordingHttpDriver*>(current)->Name();
    if (self.builder == Builder::MakesNothing) {
        self.log.push_back("build nothing from " + from);
        return nullptr;
    }
    if (self.builder == Builder::ReturnsCurrent) {
        self.log.push_back("build returns " + from);
        return current;
    }
    self.log.push_back("build s" + std::to_string(self.made_ + 1) + " from " + from);
    return self.Make('s', current->UserAgent(), current->HttpMajor(), current->HttpMinor());
}

std::string RecordingDriverFactory::Lines(const char* leaveOut) const {
    std::string lines;
    for (const std::string& line : log) {
        if (leaveOut != nullptr && line.find(leaveOut) != std::string::npos) continue;
        lines += line + "\n";
    }
    return lines;
}
