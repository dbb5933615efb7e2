// The driver base: construction, the verbs over the request routine, the options every
// driver keeps, and the slots with a fixed answer.

#include "QORHttpDriver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "QORHttpDriverSupport.h"
#include "QORMutex.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr const char* kSetOptions = "QORHttpDriver::SetOptions";
constexpr const char* kGetOptions = "QORHttpDriver::GetOptions";
// A credential longer than this is refused rather than copied.
constexpr std::uint32_t kMaxCredential = 4096;

const char* OptionName(std::uint32_t id) {
    switch (id) {
        case QORHTTP_OPTION_CONNECT_TIMEOUT: return "QORHTTP_OPTION_CONNECT_TIMEOUT";
        case QORHTTP_OPTION_SEND_TIMEOUT: return "QORHTTP_OPTION_SEND_TIMEOUT";
        case QORHTTP_OPTION_RECEIVE_TIMEOUT: return "QORHTTP_OPTION_RECEIVE_TIMEOUT";
        case QORHTTP_OPTION_USERNAME: return "QORHTTP_OPTION_USERNAME";
        case QORHTTP_OPTION_PASSWORD: return "QORHTTP_OPTION_PASSWORD";
        case QORHTTP_OPTION_PROXY_USERNAME: return "QORHTTP_OPTION_PROXY_USERNAME";
        case QORHTTP_OPTION_PROXY_PASSWORD: return "QORHTTP_OPTION_PROXY_PASSWORD";
        case QORHTTP_OPTION_BODY_MODE: return "QORHTTP_OPTION_BODY_MODE";
        case QORHTTP_OPTION_SET_PERFO_CALLBACK: return "QORHTTP_OPTION_SET_PERFO_CALLBACK";
        case QORHTTP_OPTION_URL_ENCODE_MODE: return "QORHTTP_OPTION_URL_ENCODE_MODE";
        case QORHTTP_KEEP_ERROR_BODY: return "QORHTTP_KEEP_ERROR_BODY";
        default: return "option";
    }
}

}  // namespace

QORHttpDriver::QORHttpDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor)
    : trace_(QORHttpTraceClient()), httpMajor_(httpMajor), httpMinor_(httpMinor) {
    ManageUerAgent(userAgent);
}

QORHttpDriver::~QORHttpDriver() {
    if (perfoCallback_ != nullptr) perfoCallback_->Release();
}

// ---- verbs ------------------------------------------------------------------------------

HRESULT QORHttpDriver::Get(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                           std::uint32_t* outKeepAlive) {
    return HttpSendDataEx("GET", url, flags, nullptr, nullptr, 0, QORHTTP_CONTENT_NONE, outKeepAlive, outBody,
                          outLength, nullptr, 0);
}

HRESULT QORHttpDriver::Options(const char* url, std::uint32_t flags) {
    return HttpSendDataEx("OPTIONS", url, flags, nullptr, nullptr, 0, QORHTTP_CONTENT_NONE, nullptr, nullptr,
                          nullptr, nullptr, 0);
}

HRESULT QORHttpDriver::Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                              std::uint32_t* outKeepAlive) {
    return HttpSendDataEx("DELETE", url, flags, nullptr, nullptr, 0, QORHTTP_CONTENT_NONE, outKeepAlive, outBody,
                          outLength, nullptr, 0);
}

HRESULT QORHttpDriver::Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                            std::uint32_t* outKeepAlive) {
    return HttpSendDataEx("LINK", url, flags, nullptr, nullptr, 0, QORHTTP_CONTENT_NONE, outKeepAlive, outBody,
                          outLength, nullptr, 0);
}

HRESULT QORHttpDriver::PostStream(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                  QORHttpStreamer* streamer, std::uint32_t* outKeepAlive, char** outBody,
                                  std::uint64_t* outLength) {
    return HttpSendDataEx("POST", url, flags, nullptr, nullptr, 0, contentType, outKeepAlive, outBody, outLength,
                          streamer, 0);
}

HRESULT QORHttpDriver::Post(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                            std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                            std::uint64_t* outLength) {
    return HttpSendDataEx("POST", url, flags, nullptr, data, length, contentType, outKeepAlive, outBody, outLength,
                          nullptr, 0);
}

HRESULT QORHttpDriver::Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                           std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                           std::uint64_t* outLength) {
    return HttpSendDataEx("PUT", url, flags, nullptr, data, length, contentType, outKeepAlive, outBody, outLength,
                          nullptr, 0);
}

HRESULT QORHttpDriver::Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                             std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                             std::uint64_t* outLength) {
    return HttpSendDataEx("PATCH", url, flags, nullptr, data, length, contentType, outKeepAlive, outBody, outLength,
                          nullptr, 0);
}

HRESULT QORHttpDriver::GetRange(const char* url, std::uint32_t flags, std::uint32_t mode, std::int64_t start,
                                std::int64_t endOrLength, char** outBody, std::uint64_t* outLength,
                                std::uint32_t* outKeepAlive) {
    static constexpr const char* kOperation = "QORHttpDriver::GetRange";
    // Starts and ends are 64-bit: ranges past 2 GiB are common in resumed downloads.
    char range[96];
    if (start < 0 || endOrLength < 0) return QORHttpDriverError(trace_, kOperation, "E_INVALIDARG", E_INVALIDARG);
    if (mode == 0) {
        // A length of 0 has no last byte: "start-(start-1)" would be a malformed range.
        if (endOrLength == 0 || start > INT64_MAX - endOrLength + 1) {
            return QORHttpDriverError(trace_, kOperation, "E_INVALIDARG", E_INVALIDARG);
        }
        std::snprintf(range, sizeof range, "%s%s%lld-%lld%s", "Accept-Ranges: bytes\r\n", "Range: bytes=",
                      static_cast<long long>(start), static_cast<long long>(start + endOrLength - 1), "\r\n");
    } else if (mode == 2) {
        if (start == 0) {
            std::snprintf(range, sizeof range, "%s%s-%lld%s", "Accept-Ranges: bytes\r\n", "Range: bytes=",
                          static_cast<long long>(endOrLength), "\r\n");
        } else {
            if (endOrLength < start) return QORHttpDriverError(trace_, kOperation, "E_INVALIDARG", E_INVALIDARG);
            std::snprintf(range, sizeof range, "%s%s%lld-%lld%s", "Accept-Ranges: bytes\r\n", "Range: bytes=",
                          static_cast<long long>(start), static_cast<long long>(endOrLength), "\r\n");
        }
    } else {
        return QORHttpDriverError(trace_, kOperation, "E_INVALIDARG", E_INVALIDARG);
    }
    return HttpSendDataEx("GET", url, flags, range, nullptr, 0, QORHTTP_CONTENT_NONE, outKeepAlive, outBody,
                          outLength, nullptr, 0);
}

HRESULT QORHttpDriver::Head(const char* url, std::uint32_t flags, struct _stat64* stat) {
    static constexpr const char* kOperation = "QORHttpDriver::Head";
    if (url == nullptr || stat == nullptr) return QORHttpDriverError(trace_, kOperation, "E_INVALIDARG", E_INVALIDARG);
    if (reinterpret_cast<std::uintptr_t>(stat) == 1) {
        return HttpSendDataEx("HEAD", url, flags, nullptr, nullptr, 0, QORHTTP_CONTENT_NONE, nullptr, nullptr,
                              nullptr, nullptr, 0);
    }
    std::memset(stat, 0, sizeof *stat);
    HRESULT result = HttpSendDataEx("HEAD", url, flags, nullptr, nullptr, 0, QORHTTP_CONTENT_NONE, nullptr, nullptr,
                                    nullptr, nullptr, 0);
    if (result != 0) return result;
    QORHttpHeapText length;
    if (QueryHeaderText(5, &length) != 0 || length.Get() == nullptr) {
        return QORHttpDriverError(trace_, kOperation, "Content-Length", E_FAIL);
    }
    std::uint64_t size = 0;
    if (!QORHttpParseLength(length.Get(), std::strlen(length.Get()), &size) || size > INT64_MAX) {
        return QORHttpDriverError(trace_, kOperation, "Content-Length", -7);
    }
    stat->st_size = static_cast<std::int64_t>(size);
    stat->st_mode = size != 0 ? 0x8180 : 0x4180;
    return 0;
}

// ---- fixed answers ------------------------------------------------------------------------

HRESULT QORHttpDriver::Reserved20() { return E_NOTIMPL; }

const char* QORHttpDriver::GetUrl() { return currentUrl_.empty() ? nullptr : currentUrl_.c_str(); }

HRESULT QORHttpDriver::ResetRequest() { return E_NOTIMPL; }

HRESULT QORHttpDriver::OnRequestStart() { return 0; }

HRESULT QORHttpDriver::OnRequestEnd(std::uint32_t ok) {
    (void)ok;
    return 0;
}

HRESULT QORHttpDriver::Reserved31() { return 0; }

HRESULT QORHttpDriver::GetCredentials(const char* url, std::uint32_t status, const char* scheme, const char* realm,
                                      char** outCredentials) {
    (void)url;
    (void)status;
    if (scheme == nullptr || realm == nullptr || outCredentials == nullptr) return E_INVALIDARG;
    return -1;
}

HRESULT QORHttpDriver::CloseConnection() { return E_NOTIMPL; }

HRESULT QORHttpDriver::QXInternetQueryDataAvailable(std::uint32_t* outAvailable) {
    (void)outAvailable;
    return E_NOTIMPL;
}

HRESULT QORHttpDriver::QXInternetReadFile(std::uint64_t* ioLength, char* body, std::uint32_t toRead,
                                          std::uint32_t* outRead) {
    (void)ioLength;
    (void)body;
    (void)toRead;
    (void)outRead;
    return E_NOTIMPL;
}

void QORHttpDriver::FreePendingHeaders() {
    pendingHeaders_.Reset();
    pendingHeadersLength_ = 0;
}

// ---- options ------------------------------------------------------------------------------

HRESULT QORHttpDriver::SetOptions(std::uint32_t id, const void* value, std::uint32_t length) {
    bool handled = false;
    const HRESULT result = SetBaseOption(kSetOptions, id, value, length, &handled);
    if (!handled) return QORHttpDriverError(trace_, kSetOptions, "E_INVALIDARG id", E_INVALIDARG);
    return result;
}

HRESULT QORHttpDriver::GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) {
    bool handled = false;
    const HRESULT result = GetBaseOption(kGetOptions, id, value, ioLength, &handled);
    if (!handled) return QORHttpDriverError(trace_, kGetOptions, "E_INVALIDARG id", E_INVALIDARG);
    return result;
}

HRESULT QORHttpDriver::SetBaseOption(const char* operation, std::uint32_t id, const void* value,
                                     std::uint32_t length, bool* handled) {
    std::uint32_t* field = BaseField(id);
    std::string* text = nullptr;
    switch (id) {
        case QORHTTP_OPTION_USERNAME: text = &userName_; break;
        case QORHTTP_OPTION_PASSWORD: text = &password_; break;
        case QORHTTP_OPTION_PROXY_USERNAME: text = &proxyUserName_; break;
        case QORHTTP_OPTION_PROXY_PASSWORD: text = &proxyPassword_; break;
        default: break;
    }
    *handled = field != nullptr || text != nullptr || id == QORHTTP_OPTION_SET_PERFO_CALLBACK;
    if (!*handled) return E_INVALIDARG;
    // Every value here is read through the pointer: a null one would be a crash, not a reset.
    if (value == nullptr) return QORHttpDriverError(trace_, operation, "E_INVALIDARG iValue", E_INVALIDARG);
    char tag[96];
    std::snprintf(tag, sizeof tag, "E_INVALIDARG iLen for %s", OptionName(id));
    if (field != nullptr) {
        if (length != sizeof(std::uint32_t)) return QORHttpDriverError(trace_, operation, tag, E_INVALIDARG);
        std::memcpy(field, value, sizeof(std::uint32_t));
        return 0;
    }
    if (text != nullptr) {
        if (length == 0 || length > kMaxCredential) return QORHttpDriverError(trace_, operation, tag, E_INVALIDARG);
        const char* chars = static_cast<const char*>(value);
        try {
            text->assign(chars, strnlen(chars, length));
        } catch (const std::bad_alloc&) {
            return QORHttpDriverError(trace_, operation, OptionName(id), E_OUTOFMEMORY);
        }
        return 0;
    }
    if (length != sizeof(void*)) return QORHttpDriverError(trace_, operation, tag, E_INVALIDARG);
    QORHttpPerfoCallback* callback = nullptr;
    std::memcpy(&callback, value, sizeof callback);
    if (callback != nullptr) callback->AddReference();
    if (perfoCallback_ != nullptr) perfoCallback_->Release();
    perfoCallback_ = callback;
    return 0;
}

HRESULT QORHttpDriver::GetBaseOption(const char* operation, std::uint32_t id, void* value, std::uint32_t* ioLength,
                                     bool* handled) {
    std::uint32_t* field = BaseField(id);
    *handled = field != nullptr;
    if (!*handled) return E_INVALIDARG;
    if (ioLength == nullptr) return QORHttpDriverError(trace_, operation, "E_INVALIDARG ioLen", E_INVALIDARG);
    if (value == nullptr) {
        *ioLength = sizeof(std::uint32_t);
        return 0;
    }
    if (*ioLength != sizeof(std::uint32_t)) {
        char tag[96];
        std::snprintf(tag, sizeof tag, "E_INVALIDARG iLen for %s", OptionName(id));
        return QORHttpDriverError(trace_, operation, tag, E_INVALIDARG);
    }
    std::memcpy(value, field, sizeof(std::uint32_t));
    return 0;
}

HRESULT QORHttpDriver::CopyBaseSettings(const QORHttpDriver& from) {
    if (&from == this) return 0;
    // Header lines added before the request opened belong to it, whichever driver sends it.
    QORHttpHeapText headers;
    if (from.pendingHeaders_) {
        headers.Reset(static_cast<char*>(std::malloc(from.pendingHeadersLength_ + 1)));
        if (!headers) {
            return QORHttpDriverError(trace_, "QORHttpDriver::CopyBaseSettings", "pending headers", E_OUTOFMEMORY);
        }
        std::memcpy(headers.Get(), from.pendingHeaders_.Get(), from.pendingHeadersLength_);
        headers.Get()[from.pendingHeadersLength_] = '\0';
    }
    try {
        userAgent_ = from.userAgent_;
        userName_ = from.userName_;
        password_ = from.password_;
        proxyUserName_ = from.proxyUserName_;
        proxyPassword_ = from.proxyPassword_;
    } catch (const std::bad_alloc&) {
        return QORHttpDriverError(trace_, "QORHttpDriver::CopyBaseSettings", "strings", E_OUTOFMEMORY);
    }
    pendingHeaders_.Reset(headers.Take());
    pendingHeadersLength_ = from.pendingHeadersLength_;
    httpMajor_ = from.httpMajor_;
    httpMinor_ = from.httpMinor_;
    keepErrorBody_ = from.keepErrorBody_;
    receiveTimeout_ = from.receiveTimeout_;
    sendTimeout_ = from.sendTimeout_;
    connectTimeout_ = from.connectTimeout_;
    bodyMode_ = from.bodyMode_;
    urlEncodeMode_ = from.urlEncodeMode_;
    if (from.perfoCallback_ != nullptr) from.perfoCallback_->AddReference();
    if (perfoCallback_ != nullptr) perfoCallback_->Release();
    perfoCallback_ = from.perfoCallback_;
    return 0;
}

std::uint32_t* QORHttpDriver::BaseField(std::uint32_t id) {
    switch (id) {
        case QORHTTP_OPTION_CONNECT_TIMEOUT: return &connectTimeout_;
        case QORHTTP_OPTION_SEND_TIMEOUT: return &sendTimeout_;
        case QORHTTP_OPTION_RECEIVE_TIMEOUT: return &receiveTimeout_;
        case QORHTTP_OPTION_BODY_MODE: return &bodyMode_;
        case QORHTTP_OPTION_URL_ENCODE_MODE: return &urlEncodeMode_;
        case QORHTTP_KEEP_ERROR_BODY: return &keepErrorBody_;
        default: return nullptr;
    }
}

void QORHttpDriver::TellPerfo(Perfo point) {
    if (perfoCallback_ == nullptr) return;
    const std::int64_t now = HttpStatistics::GetEpochTime();
    switch (point) {
        case Perfo::Connect: perfoCallback_->OnConnect(now); break;
        case Perfo::RequestEnd: perfoCallback_->OnRequestEnd(now); break;
        case Perfo::DownloadEnd: perfoCallback_->OnDownloadEnd(now); break;
        case Perfo::UploadPieceStart: perfoCallback_->OnUploadPieceStart(now); break;
        case Perfo::UploadPieceEnd: perfoCallback_->OnUploadPieceEnd(now); break;
        case Perfo::BodyReadStart: perfoCallback_->OnBodyReadStart(now); break;
        case Perfo::BodyReadEnd: perfoCallback_->OnBodyReadEnd(now); break;
    }
}
