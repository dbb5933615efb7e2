// The raw-socket driver's request side: the request head, the body (by length or chunked) and
// the close of the request, which reads the response head.

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "QORHttpCookie.h"
#include "QORHttpDriverSupport.h"
#include "QORHttpErrors.h"
#include "QORHttpQXDriver.h"
#include "QORHttpQXProxy.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr const char* kOpen = "QORHttpQXDriver::OpenRequest";
constexpr const char* kCreate = "QORHttpQXDriver::RequestCreate";
constexpr const char* kBegin = "QORHttpQXDriver::BeginSendRequest";
constexpr const char* kSend = "QORHttpQXDriver::SendRequest";
constexpr const char* kRaw = "QORHttpQXDriver::SendRawData";
constexpr const char* kClose = "QORHttpQXDriver::CloseRequest";
constexpr HRESULT kNotConnected = static_cast<HRESULT>(0x80072F83);
constexpr HRESULT kSendFailed = static_cast<HRESULT>(0x80072EE4);

bool IsBodyVerb(const char* verb) {
    return std::strcmp(verb, "POST") == 0 || std::strcmp(verb, "PUT") == 0 || std::strcmp(verb, "PATCH") == 0;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out;
    if (length > 0) {
        out.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(&out[0], out.size(), format, again);
        out.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return out;
}

// A request head for a trace: a ticket in the request line and the secret headers' values masked.
std::string ShownRequest(const std::string& head) {
    const std::size_t verbEnd = head.find(' ');
    const std::size_t targetEnd = verbEnd == std::string::npos ? std::string::npos : head.find(' ', verbEnd + 1);
    if (targetEnd == std::string::npos) return QORHttpDriver::MaskSecretHeaders(head.data(), head.size());
    const std::string target = head.substr(verbEnd + 1, targetEnd - verbEnd - 1);
    return head.substr(0, verbEnd + 1) + QORHttpMaskUrl(target.c_str()) +
           QORHttpDriver::MaskSecretHeaders(head.data() + targetEnd, head.size() - targetEnd);
}

}  // namespace

HRESULT QORHttpQXDriver::OpenRequest(const char* verb, const char* url, std::uint32_t flags,
                                     const char** acceptTypes) {
    if (verb == nullptr || url == nullptr) return TraceHttpError(&trace_, 0, kOpen, "E_INVALIDARG", E_INVALIDARG);
    connectionClosed_ = 0;
    responseHead_.Reset();
    responseHeadLength_ = 0;
    request_.Reset();
    requestLength_ = 0;
    uploadTotal_ = 0;
    uploaded_ = 0;
    downloadState_ = -2;
    bodyVerb_ = IsBodyVerb(verb) ? 1 : 0;
    lastChunkSent_ = 0;
    requestClosed_ = 0;
    requestState_ = 0;
    proxyCredentialsSent_.clear();

    std::string acceptLine;
    std::string path;
    try {
        if (std::strcmp(verb, "PUT") != 0) {
            if (acceptTypes != nullptr && acceptTypes[0] != nullptr) {
                acceptLine = "Accept: ";
                for (int i = 0; acceptTypes[i] != nullptr && i < 64; ++i) {
                    if (i != 0) acceptLine += ", ";
                    acceptLine += acceptTypes[i];
                }
                acceptLine += "\r\n";
            } else {
                acceptLine = "Accept: */*\r\n";
            }
        }
        std::string host;
        std::string extra;
        std::uint32_t port = 0;
        const HRESULT analysed = AnalysePath(url, &host, &port, &path, &extra);
        if (analysed != 0) return analysed;
    } catch (const std::bad_alloc&) {
        return TraceHttpOutOfMemory(&trace_, 0, kOpen, "path");
    }
    if (!socket_) return TraceHttpError(&trace_, 0, kOpen, "_Hdl", E_FAIL);
    if ((socket_->Status() & QORBaseSock::kConnected) == 0) return TraceHttpError(&trace_, 0, kOpen, "connected", kNotConnected);

    HRESULT result = RequestCreate(verb, path.c_str(), userAgentLine_.c_str(), flags,
                                   acceptLine.empty() ? nullptr : acceptLine.c_str(), request_.Put(), &requestLength_);
    if (result != 0) return result;

    QORHttpHeapText cookies;
    if (QORSysGetCookie(url, nullptr, cookies.Put(), 1) == 0 && cookies && cookies.Get()[0] != '\0') {
        result = AddRequestHeaders(cookies.Get(), 0x40000000);
        if (result != 0) TraceHttpError(&trace_, 0, kOpen, "AddRequestHeaders", result);
    }
    return 0;
}

HRESULT QORHttpQXDriver::RequestCreate(const char* verb, const char* path, const char* userAgentLine,
                                       std::uint32_t flags, const char* acceptLine, char** outRequest,
                                       std::uint64_t* outLength) {
    if (verb == nullptr || path == nullptr || userAgentLine == nullptr || outRequest == nullptr || outLength == nullptr) {
        return TraceHttpError(&trace_, 0, kCreate, "E_INVALIDARG", E_INVALIDARG);
    }
    if (!socket_) return TraceHttpError(&trace_, 0, kCreate, "_Hdl", E_FAIL);
    socket_->ResetReceiveState();
    const char* host = socket_->Host() != nullptr ? socket_->Host() : "";
    const std::uint32_t defaultPort = isHttps_ != 0 ? 443 : 80;
    try {
        std::string head = port_ == defaultPort
                               ? Format("%s %s HTTP/%d.%d\r\nHost: %s\r\n%s", verb, path, requestMajor_, requestMinor_,
                                        host, userAgentLine)
                               : Format("%s %s HTTP/%d.%d\r\nHost: %s:%d\r\n%s", verb, path, requestMajor_,
                                        requestMinor_, host, static_cast<int>(port_), userAgentLine);
        if ((flags & kKeepConnection) != 0) {
            head += ThroughProxy() ? "Proxy-Connection: Keep-Alive\r\n" : "Connection: Keep-Alive\r\n";
        }
        const char* pending = PendingHeaders();
        if (acceptLine != nullptr && pending != nullptr && std::strstr(pending, "Accept:") == nullptr) {
            const HRESULT added = AddPendingHeaders(acceptLine, 0x40000000);
            if (added != 0) return added;
            pending = PendingHeaders();
        }
        if (pending != nullptr) head += pending;
        FreePendingHeaders();
        char* text = static_cast<char*>(std::malloc(head.size() + 1));
        if (text == nullptr) return TraceHttpOutOfMemory(&trace_, 0, kCreate, "request");
        std::memcpy(text, head.c_str(), head.size() + 1);
        std::free(*outRequest);
        *outRequest = text;
        *outLength = head.size();
    } catch (const std::bad_alloc&) {
        return TraceHttpOutOfMemory(&trace_, 0, kCreate, "request");
    }
    return 0;
}

HRESULT QORHttpQXDriver::AddRequestHeaders(const char* headers, std::uint32_t flags) {
    if (headers == nullptr) return 0;
    if ((requestState_ & kHeadSent) != 0) {
        return TraceHttpError(&trace_, 0, "QORHttpQXDriver::AddRequestHeaders", "sent", E_INVALIDARG);
    }
    if (request_) {
        char* block = request_.Take();
        const HRESULT result = CoalesceHeader(headers, flags, &requestLength_, &block);
        request_.Reset(block);
        return result;
    }
    return AddPendingHeaders(headers, flags);
}

HRESULT QORHttpQXDriver::BeginSendRequest(std::uint32_t mode, std::uint64_t length, std::uint32_t chunked) {
    if (!socket_) return TraceHttpError(&trace_, 0, kBegin, "_Hdl", E_FAIL);
    if ((socket_->Status() & QORBaseSock::kConnected) == 0 || !request_) {
        return TraceHttpError(&trace_, 0, kBegin, "(!CLIENT_CONNECTED...)", kNotConnected);
    }
    QORHttpQXProxyAuth proxyAuth;
    if (ThroughProxy() && !QORHttpQXGetProxyAuth(&proxyAuth)) return TraceHttpOutOfMemory(&trace_, 0, kBegin, "proxy");
    std::string head;
    try {
        head.assign(request_.Get(), static_cast<std::size_t>(requestLength_));
        if (mode != 0) {
            if (chunked != 0) {
                head += "Transfer-Encoding: chunked\r\n";
                requestState_ |= kChunkedUpload;
            } else {
                head += Format("Content-Length: %llu\r\n", static_cast<unsigned long long>(length));
            }
            uploadTotal_ = chunked != 0 ? 0 : length;
        }
        if (!proxyAuth.credentials.empty()) {
            head += Format("%s %s %s\r\n", "Proxy-authorization:", proxyAuth.scheme.c_str(),
                           proxyAuth.credentials.c_str());
            proxyCredentialsSent_ = proxyAuth.credentials;
        }
        head += "\r\n";
    } catch (const std::bad_alloc&) {
        return TraceHttpOutOfMemory(&trace_, 0, kBegin, "_RequestLen");
    }
    if (head.size() > 0x7FFFFFFF) return TraceHttpError(&trace_, 0, kBegin, "_RequestLen", E_INVALIDARG);
    const HRESULT sent = socket_->Send(head.data(), static_cast<std::uint32_t>(head.size()));
    if (trace_ != nullptr) {
        try {
            const std::string shown = ShownRequest(head);
            ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpQXDriver::BeginSendRequest REQUEST:[%s] send: rc = %d\t errno = %d",
                                          shown.c_str(), static_cast<int>(sent), sent < 0 ? static_cast<int>(-sent) : 0);
        } catch (const std::bad_alloc&) {
        }
    }
    if (sent != static_cast<HRESULT>(head.size())) return TraceHttpError(&trace_, 0, kBegin, "_RequestLen", kSendFailed);
    requestState_ |= kHeadSent;
    return 0;
}

HRESULT QORHttpQXDriver::SendPieces(const char* data, std::uint64_t length) {
    const bool chunked = (requestState_ & kChunkedUpload) != 0;
    for (std::uint64_t at = 0; at < length;) {
        const std::uint32_t piece =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(length - at, QORHttpSock::kMaxSendPiece));
        TellPerfo(Perfo::UploadPieceStart);
        if (chunked) {
            char size[24];
            const int sizeLength = std::snprintf(size, sizeof size, "%x\r\n", piece);
            if (socket_->Send(size, static_cast<std::uint32_t>(sizeLength)) != sizeLength) {
                return TraceHttpError(&trace_, 0, kRaw, "Send chunk", kSendFailed);
            }
        }
        if (socket_->Send(data + at, piece) != static_cast<HRESULT>(piece)) {
            return TraceHttpError(&trace_, 0, kRaw, "Send data", kSendFailed);
        }
        if (chunked && socket_->Send("\r\n", 2) != 2) return TraceHttpError(&trace_, 0, kRaw, "Send CFLF", kSendFailed);
        TellPerfo(Perfo::UploadPieceEnd);
        at += piece;
        uploaded_ += piece;
    }
    return 0;
}

HRESULT QORHttpQXDriver::SendRawData(const char* data, std::uint64_t length) {
    if (!socket_ || (socket_->Status() & QORBaseSock::kConnected) == 0 || !request_) {
        return TraceHttpError(&trace_, 0, kRaw, "!CLIENT_CONNECTED...", kNotConnected);
    }
    if ((requestState_ & kHeadSent) == 0) return TraceHttpError(&trace_, 0, kRaw, "head not sent", E_FAIL);
    if (data == nullptr || length == 0) {
        if ((requestState_ & kChunkedUpload) != 0 && lastChunkSent_ == 0) {
            if (socket_->Send("0\r\n\r\n", 5) != 5) return TraceHttpError(&trace_, 0, kRaw, "Send chunk", kSendFailed);
            lastChunkSent_ = 1;
        }
        return CloseRequest();
    }
    const HRESULT result = SendPieces(data, length);
    if (result != 0) return result;
    if ((requestState_ & kChunkedUpload) == 0 && uploaded_ >= uploadTotal_) return CloseRequest();
    return 0;
}

HRESULT QORHttpQXDriver::SendRequest(const char* data, std::uint64_t length, std::uint32_t hasBody) {
    const std::uint32_t chunked = bodyVerb_ != 0 && hasBody == 0 ? 1 : 0;
    HRESULT result = BeginSendRequest(hasBody != 0 || chunked != 0 ? 1 : 0, length, chunked);
    if (result != 0) return TraceHttpError(&trace_, 0, kSend, "BeginSendRequest", result);
    if (data != nullptr && length != 0) {
        result = SendRawData(data, length);
        if (result != 0) return TraceHttpError(&trace_, 0, kSend, "SendRawData", result);
    }
    if (bodyVerb_ == 0) {
        result = CloseRequest();
        if (result != 0) return TraceHttpError(&trace_, 0, kSend, "CloseRequest", result);
    }
    return 0;
}

HRESULT QORHttpQXDriver::SendRequest(QORHttpStreamer* streamer, std::uint32_t /*retries*/) {
    if (streamer == nullptr) return TraceHttpError(&trace_, 0, kSend, "SendRequest Streamer", E_INVALIDARG);
    std::uint64_t total = 0;
    std::uint32_t chunked = 0;
    HRESULT result = streamer->GetSize(&total, &chunked);
    if (result != 0) return TraceHttpError(&trace_, 0, kSend, "Stream", result);
    result = BeginSendRequest(1, total, chunked);
    if (result != 0) return TraceHttpError(&trace_, 0, kSend, "BeginSendRequest", result);
    for (;;) {
        const char* piece = nullptr;
        std::uint32_t pieceLength = 0;
        std::uint32_t state = QORHttpStreamer::kError;
        result = streamer->GetNext(&piece, &pieceLength, &state);
        if (result != 0 || state == QORHttpStreamer::kError) {
            CloseConnection();
            return TraceHttpError(&trace_, 0, kSend, "Stream", result != 0 ? result : E_FAIL);
        }
        if (piece != nullptr && pieceLength != 0) {
            result = SendPieces(piece, pieceLength);
            if (result != 0) return result;
        }
        if (state != QORHttpStreamer::kMore) break;
    }
    if ((requestState_ & kChunkedUpload) != 0 && lastChunkSent_ == 0) {
        if (socket_->Send("0\r\n\r\n", 5) != 5) return TraceHttpError(&trace_, 0, kSend, "Send chunk", kSendFailed);
        lastChunkSent_ = 1;
    }
    return CloseRequest();
}

HRESULT QORHttpQXDriver::CloseRequest() {
    if (requestClosed_ != 0) return 0;
    if (!socket_) return TraceHttpError(&trace_, 0, kClose, "_Hdl", E_FAIL);
    if ((socket_->Status() & QORBaseSock::kConnected) == 0 || !request_) {
        return TraceHttpError(&trace_, 0, kClose, "!CLIENT_CONNECTED...", kNotConnected);
    }
    requestClosed_ = 1;
    if ((requestState_ & kChunkedUpload) != 0 && lastChunkSent_ == 0) {
        if (socket_->Send("0\r\n\r\n", 5) != 5) {
            if (trace_ != nullptr) {
                ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpQXDriver::CloseRequest (Send LastChunk Error 0x%x)",
                                              static_cast<unsigned>(kSendFailed));
            }
        } else {
            lastChunkSent_ = 1;
        }
    }
    request_.Reset();
    requestLength_ = 0;
    const HRESULT result = ReadResponseHead();
    requestState_ = 0;
    return result;
}
