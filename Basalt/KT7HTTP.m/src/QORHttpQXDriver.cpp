// The raw-socket driver: construction, options, the URL and the connection, the response
// head and its queries, the body reads.

#include "QORHttpQXDriver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "QORHttpDriverSupport.h"
#include "QORHttpErrors.h"
#include "QORHttpQXProxy.h"
#include "QORHttpTools.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr const char* kDriver = "QORHttpQXDriver";
constexpr const char* kAnalysePath = "QORHttpQXDriver::AnalysePath";
constexpr const char* kHeaders = "QORHttpQXDriver::GetResponseHeaders";
constexpr const char* kSetOptions = "QORHttpQXDriver::SetOptions";
constexpr const char* kGetOptions = "QORHttpQXDriver::GetOptions";
constexpr HRESULT kNotConnected = static_cast<HRESULT>(0x80072F83);
constexpr HRESULT kMalformed = static_cast<HRESULT>(0x80072F78);
constexpr HRESULT kHeaderNotFound = static_cast<HRESULT>(0x80072F76);
constexpr HRESULT kInvalidUrl = static_cast<HRESULT>(0x80072EE5);
constexpr HRESULT kLongerThanAnnounced = static_cast<HRESULT>(0x80080011);

// The port written in the URL's authority: the cracking reads a port above 65535 as 80, which
// is another server, so it is read here to be refused.
bool PortTooLarge(const char* url) {
    const char* start = std::strstr(url, "://");
    if (start == nullptr) return false;
    start += 3;
    const char* end = start + std::strcspn(start, "/?#");
    const char* at = start;
    for (const char* p = start; p < end; ++p) {
        if (*p == '@') at = p + 1;
    }
    const char* colon = nullptr;
    if (at < end && *at == '[') {
        const char* close = static_cast<const char*>(std::memchr(at, ']', static_cast<std::size_t>(end - at)));
        if (close == nullptr) return false;
        colon = static_cast<const char*>(std::memchr(close, ':', static_cast<std::size_t>(end - close)));
    } else {
        colon = static_cast<const char*>(std::memchr(at, ':', static_cast<std::size_t>(end - at)));
    }
    if (colon == nullptr) return false;
    std::uint64_t port = 0;
    for (const char* p = colon + 1; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        port = port * 10 + static_cast<std::uint64_t>(*p - '0');
        // Leading zeros beyond five digits too: the cracking gives up on long port texts.
        if (port > 65535 || p - colon > 5) return true;
    }
    return false;
}

// No byte that would end or split the request line or a header: controls, blank, DEL.
bool HasWireBreakingByte(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x21 || c == 0x7F) return true;
    }
    return false;
}

// The status of a head beginning "HTTP/1.", or 0.
std::uint32_t StatusOf(const char* head) {
    if (head == nullptr || std::strncmp(head, "HTTP/1.", 7) != 0) return 0;
    const char* p = std::strchr(head, ' ');
    if (p == nullptr) return 0;
    while (*p == ' ') ++p;
    std::uint32_t status = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits) status = status * 10 + static_cast<std::uint32_t>(*p - '0');
    return digits == 3 ? status : 0;
}

const char* QueryHeaderName(std::uint32_t query) {
    switch (query) {
        case 1: return "content-type: ";
        case 5: return "content-length: ";
        case 9: return "date: ";
        case 11: return "last-modified: ";
        case 23: return "connection: ";
        case 33: return "location: ";
        case 37: return "server: ";
        case 40: return "www-authenticate: ";
        case 41: return "proxy-authenticate: ";
        case 42: return "accept-ranges: ";
        case 43: return "set-cookie: ";
        case 54: return "etag: ";
        case 63: return "transfer-encoding: ";
        default: return nullptr;
    }
}

// The occurrence `index` of a header line beginning with `name` (lower case) after the status
// line; null when there is none.
const char* FindHeaderLine(const char* head, const char* name, std::uint32_t index) {
    const std::size_t nameLength = std::strlen(name);
    for (const char* line = std::strchr(head, '\n'); line != nullptr; line = std::strchr(line, '\n')) {
        ++line;
        if (std::strncmp(line, name, nameLength) == 0) {
            if (index == 0) return line + nameLength;
            --index;
        }
    }
    return nullptr;
}

// Whether needle occurs in the first length bytes of text.
bool Contains(const char* text, std::size_t length, const char* needle) {
    const std::size_t needleLength = std::strlen(needle);
    for (std::size_t at = 0; at + needleLength <= length; ++at) {
        if (std::memcmp(text + at, needle, needleLength) == 0) return true;
    }
    return false;
}

char* CopyText(const char* text, std::size_t length) {
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace

QORHttpQXDriver::QORHttpQXDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor)
    : QORHttpDriver(userAgent, httpMajor, httpMinor) {
    if (trace_ != nullptr) ZYNSysTraceClient::InfoPrintf(trace_, "QORHttpQXDriver::QORHttpQXDriver");
    const QORHttpQXProxySettings& proxy = QORHttpQXGetProxySettings();
    if (!proxy.host.empty() && trace_ != nullptr) {
        ZYNSysTraceClient::InfoPrintf(trace_, "QORHttpQXDriver::QORHttpQXDriver (PROXY DETECTED %s:%d)",
                                      proxy.host.c_str(), static_cast<int>(proxy.port));
    }
    const int started = QORHttpQXStartSockets();
    if (started != 0 && trace_ != nullptr) {
        ZYNSysTraceClient::InfoPrintf(trace_, "QORHttpClient::QORHttpClient-> WSAStartup() %d", started);
    }
    try {
        userAgentLine_ = "User-Agent: " + userAgent_ + "\r\n";
    } catch (const std::bad_alloc&) {
        TraceHttpOutOfMemory(&trace_, 0, kDriver, "_RequestModifiers");
    }
    if (httpMajor == 1 || httpMinor < 2) {
        requestMajor_ = httpMajor;
        requestMinor_ = httpMinor;
    }
}

QORHttpQXDriver::~QORHttpQXDriver() { QORHttpQXForgetProxyRealm(); }

bool QORHttpQXDriver::ThroughProxy() const { return !QORHttpQXGetProxySettings().host.empty(); }

HRESULT QORHttpQXDriver::Connect(const char* host, std::uint32_t port, std::uint32_t accessType) {
    if (trace_ != nullptr) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpQXDriver::Connect");
    if (!socket_) {
        socket_.reset(new (std::nothrow) QORHttpSock());
        if (!socket_) return TraceHttpOutOfMemory(&trace_, 0, "QORHttpQXDriver::Connect", "_Hdl");
    }
    socket_->SetOptions(6, &receiveTimeout_, sizeof receiveTimeout_);
    socket_->SetOptions(5, &sendTimeout_, sizeof sendTimeout_);
    const QORHttpQXProxySettings& proxy = QORHttpQXGetProxySettings();
    const HRESULT result = socket_->Connect(host, port, proxy.host.empty() ? nullptr : proxy.host.c_str(), proxy.port,
                                            accessType);
    if (result == 0) {
        port_ = port;
        TellPerfo(Perfo::Connect);
    }
    return result;
}

HRESULT QORHttpQXDriver::Connection(const char* url) {
    if (url == nullptr) return -1;
    if (AnalysePath(url) != 0) return TraceHttpError(&trace_, 0, "QORHttpQXDriver::Connection", "AnalysePath", -2);
    return 0;
}

HRESULT QORHttpQXDriver::AnalysePath(const char* url) {
    std::string host;
    std::string path;
    std::string extra;
    std::uint32_t port = 0;
    return AnalysePath(url, &host, &port, &path, &extra);
}

HRESULT QORHttpQXDriver::AnalysePath(const char* url, std::string* outHost, std::uint32_t* outPort,
                                     std::string* outPath, std::string* outExtra) {
    if (url == nullptr || std::strncmp(url, "http", 4) != 0) {
        return TraceHttpError(&trace_, 0, kAnalysePath, "AnalysePath", E_INVALIDARG);
    }
    // No TLS here: an https URL would go out in plain text, with the store's secure cookies.
    if (_strnicmp(url, "https:", 6) == 0) return TraceHttpError(&trace_, 0, kAnalysePath, "https", E_INVALIDARG);
    if (PortTooLarge(url)) return TraceHttpError(&trace_, 0, kAnalysePath, "port", kInvalidUrl);
    QORHttpHeapText encoded;
    HRESULT result = QORSysCodeUrl(url, encoded.Put(), urlEncodeMode_);
    if (result != 0) return TraceHttpError(&trace_, 0, kAnalysePath, "QORSysCodeUrl", result);
    if (!encoded) encoded.Reset(CopyText(url, std::strlen(url)));
    if (!encoded) return TraceHttpOutOfMemory(&trace_, 0, kAnalysePath, "url");
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    result = QORSysCrackUrl(encoded.Get(), 0, 0, &parts);
    if (result != 0) return TraceHttpError(&trace_, 0, kAnalysePath, "QORSysCrackUrl", result);
    if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) {
        return TraceHttpError(&trace_, 0, kAnalysePath, "host", E_INVALIDARG);
    }
    // What reaches the request line and the Host header cannot split them: a CR LF in a URL
    // would add headers of the caller's choosing.
    if (HasWireBreakingByte(encoded.Get(), std::strlen(encoded.Get()))) {
        return TraceHttpError(&trace_, 0, kAnalysePath, "control byte", E_INVALIDARG);
    }
    try {
        outHost->assign(parts.lpszHostName, parts.dwHostNameLength);
        *outPort = parts.nPort;
        outExtra->clear();
        if (ThroughProxy()) {
            outPath->assign(encoded.Get());
        } else {
            outPath->assign(parts.lpszUrlPath != nullptr ? parts.lpszUrlPath : "", parts.dwUrlPathLength);
            if (outPath->empty()) outPath->assign("/");
            if (parts.lpszExtraInfo != nullptr) outPath->append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        }
    } catch (const std::bad_alloc&) {
        return TraceHttpOutOfMemory(&trace_, 0, kAnalysePath, "path");
    }
    isHttps_ = 0;
    if (trace_ != nullptr) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpQXDriver::AnalysePath (Host : <%s> | Port : <%d>)",
                                      outHost->c_str(), static_cast<int>(*outPort));
    }

    if (socket_) {
        if (connectionClosed_ != 0 || bodyPending_) socket_->CloseConnection();
        bodyPending_ = false;
        const bool reuse = socket_->IsSocketAlive() == 0 && port_ == *outPort && socket_->Host() != nullptr &&
                           std::strcmp(socket_->Host(), outHost->c_str()) == 0 &&
                           (socket_->Status() & QORBaseSock::kClosed) == 0;
        if (!reuse) {
            if (trace_ != nullptr) {
                ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpQXDriver::AnalysePath (No more connected...So reconnection)");
            }
            result = Connect(outHost->c_str(), *outPort, 0);
            if (result != 0) return TraceHttpError(&trace_, 0, kAnalysePath, "IsSocketAlive", kNotConnected);
        }
    } else {
        result = Connect(outHost->c_str(), *outPort, 0);
        if (result != 0) return TraceHttpError(&trace_, 0, kAnalysePath, "Connect", kNotConnected);
    }
    socket_->SetStatus(QORBaseSock::kConnected);
    return 0;
}

HRESULT QORHttpQXDriver::CloseConnection() {
    if (!socket_) return E_FAIL;
    return socket_->CloseConnection();
}

HRESULT QORHttpQXDriver::ReadResponseHead() {
    // Interim answers are skipped, a bounded number of them: a server sending them without
    // end cannot hold the request.
    for (int interim = 0;; ++interim) {
        QORHttpHeapText head;
        std::uint64_t length = 0;
        const HRESULT result = socket_->GetResponseHeader(head.Put(), &length);
        if (result != 0) {
            // Whatever is left of that answer must not be read as the next one.
            socket_->CloseConnection();
            return TraceHttpError(&trace_, 0, "QORHttpQXDriver::CloseRequest", "(Pas de header de reponse)",
                                  result == -7 ? -7 : -4);
        }
        const std::uint32_t status = StatusOf(head.Get());
        if (trace_ != nullptr) {
            try {
                const std::string shown = MaskSecretHeaders(head.Get(), static_cast<std::size_t>(length));
                ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpQXDriver::CloseRequest RESPONSE = %d CTRL BLOCK:[\n%s]",
                                              static_cast<int>(status), shown.c_str());
            } catch (const std::bad_alloc&) {
            }
        }
        HeaderToLower(head.Get());
        if (status >= 100 && status <= 199 && status != 101) {
            if (interim >= kMaxInterimHeads) {
                socket_->CloseConnection();
                return TraceHttpError(&trace_, 0, "QORHttpQXDriver::CloseRequest", "interim answers", -7);
            }
            continue;
        }
        responseHead_.Reset(head.Take());
        responseHeadLength_ = length;
        const char* announced = FindHeaderLine(responseHead_.Get(), "content-length: ", 0);
        bodyPending_ = isHead_ == 0 && status != 204 && status != 304 &&
                       !(announced != nullptr && announced[0] == '0' && (announced[1] == '\r' || announced[1] == '\n'));
        // Nothing here decodes a body: its announced length is the length on the wire, whatever
        // its encoding, and the socket stops there.
        std::int64_t expected = bodyPending_ ? -2 : 0;
        std::uint64_t bodyLength = 0;
        if (bodyPending_ && announced != nullptr &&
            FindHeaderLine(responseHead_.Get(), "transfer-encoding: ", 0) == nullptr &&
            QORHttpParseLength(announced, std::strcspn(announced, "\r\n"), &bodyLength) &&
            bodyLength <= static_cast<std::uint64_t>(INT64_MAX)) {
            expected = static_cast<std::int64_t>(bodyLength);
        }
        socket_->SetContentLength(expected);
        return 0;
    }
}

HRESULT QORHttpQXDriver::GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex,
                                            std::uint32_t query, const char* customName) {
    if (!socket_ || !responseHead_ || outText == nullptr || ioLength == nullptr || customName != nullptr) {
        return TraceHttpError(&trace_, 0, kHeaders, "ResponseHeader...", E_INVALIDARG);
    }
    const bool asNumber = (query & kAsNumber) != 0;
    const std::uint32_t id = query & 0xFFFF;
    if (id == 0xFFFF) return TraceHttpError(&trace_, 0, kHeaders, "ResponseHeader...", E_INVALIDARG);
    std::free(*outText);
    *outText = nullptr;
    const char* head = responseHead_.Get();
    if (id == 22) {
        *outText = CopyText(head, static_cast<std::size_t>(responseHeadLength_));
        if (*outText == nullptr) return TraceHttpOutOfMemory(&trace_, 0, kHeaders, "head");
        *ioLength = static_cast<std::uint32_t>(responseHeadLength_);
        return 0;
    }
    const char* value = nullptr;
    std::size_t valueLength = 0;
    std::uint32_t index = ioIndex != nullptr ? *ioIndex : 0;
    if (id == 19) {
        if (std::strncmp(head, "HTTP/1.", 7) != 0) {
            return TraceHttpError(&trace_, 0, kHeaders, "QORHTTP_QUERY_STATUS_CODE 2", kMalformed);
        }
        value = std::strchr(head, ' ');
        if (value == nullptr) return TraceHttpError(&trace_, 0, kHeaders, "QORHTTP_QUERY_STATUS_CODE 2", kMalformed);
        while (*value == ' ') ++value;
        valueLength = std::strcspn(value, " \r\n");
        index = 0;
    } else {
        const char* name = QueryHeaderName(id);
        if (name == nullptr) return TraceHttpError(&trace_, 0, kHeaders, "default", kMalformed);
        value = FindHeaderLine(head, name, index);
        if (value == nullptr) return kHeaderNotFound;
        const char* end = std::strchr(value, '\n');
        if (end == nullptr) return TraceHttpError(&trace_, 0, kHeaders, "CRLF", kMalformed);
        valueLength = static_cast<std::size_t>(end - value);
        if (valueLength != 0 && value[valueLength - 1] == '\r') --valueLength;
    }
    if (ioIndex != nullptr) *ioIndex = index + 1;

    if (id == 63 && Contains(value, valueLength, "chunked")) downloadState_ = -1;
    if (asNumber && (id == 5 || id == 19)) {
        std::uint64_t number = 0;
        std::size_t i = 0;
        for (; i < valueLength && value[i] >= '0' && value[i] <= '9'; ++i) {
            if (number > (UINT64_MAX - 9) / 10) return TraceHttpError(&trace_, 0, kHeaders, "number", kMalformed);
            number = number * 10 + static_cast<std::uint64_t>(value[i] - '0');
        }
        if (i == 0 || i != valueLength) return TraceHttpError(&trace_, 0, kHeaders, "number", kMalformed);
        if (id == 5) {
            if (number > static_cast<std::uint64_t>(INT64_MAX)) return TraceHttpError(&trace_, 0, kHeaders, "number", kMalformed);
            socket_->SetContentLength(static_cast<std::int64_t>(number));
            downloadState_ = static_cast<std::int64_t>(number);
        }
        char* out = static_cast<char*>(std::calloc(sizeof(std::uint32_t) + 1, 1));
        if (out == nullptr) return TraceHttpOutOfMemory(&trace_, 0, kHeaders, "number");
        const std::uint32_t shown = number > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(number);
        std::memcpy(out, &shown, sizeof shown);
        *outText = out;
        *ioLength = sizeof shown;
        return 0;
    }
    *outText = CopyText(value, valueLength);
    if (*outText == nullptr) return TraceHttpOutOfMemory(&trace_, 0, kHeaders, "value");
    *ioLength = static_cast<std::uint32_t>(valueLength);
    return 0;
}

HRESULT QORHttpQXDriver::GetBody(std::uint32_t flags, std::uint64_t* ioLength, char** outBody) {
    if (!socket_ || (socket_->Status() & QORBaseSock::kConnected) == 0) {
        return TraceHttpError(&trace_, 0, "QORHttpQXDriver::GetBody", "_Hdl->_Status  & CLIENT_CONNECTED", kNotConnected);
    }
    TellPerfo(Perfo::BodyReadStart);
    const HRESULT result = socket_->GetBody(flags, ioLength, outBody);
    TellPerfo(Perfo::BodyReadEnd);
    if (result != 0) return result;  // the body stays pending: the connection is not reused
    if ((flags & QORHTTP_FLAG_ONE_PIECE) == 0 || *outBody == nullptr || socket_->IsBodyComplete()) bodyPending_ = false;
    if ((flags & QORHTTP_FLAG_ONE_PIECE) != 0 && result == 0 && *outBody != nullptr) return result;
    const char* head = responseHead_.Get();
    const char* connection = head != nullptr ? FindHeaderLine(head, "connection: ", 0) : nullptr;
    if (connection != nullptr) {
        const std::size_t length = std::strcspn(connection, "\r\n");
        if (Contains(connection, length, "Close") || Contains(connection, length, "close")) {
            if (trace_ != nullptr) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpQXDriver::GetBody (Connection Close)");
            socket_->CloseConnection();
        }
    }
    return result;
}

HRESULT QORHttpQXDriver::DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody,
                                    std::uint32_t* ioDone) {
    const HRESULT result = QORHttpDriver::DownloadEx(flags, ioLength, ioBody, ioDone);
    // Bytes beyond the announced length are no response of ours: left on the connection they
    // would be read as the next one.
    if (result == kLongerThanAnnounced && socket_) socket_->CloseConnection();
    if (ioDone != nullptr && *ioDone == 1) bodyPending_ = false;
    return result;
}

HRESULT QORHttpQXDriver::Authenticate(const char* url, std::uint32_t status, const char* head) {
    constexpr const char* kAuth = "QORHttpQXDriver::Authenticate";
    if (status != 401 && status != 407) return TraceHttpError(&trace_, 0, kAuth, "!401", E_INVALIDARG);
    QORHttpQXProxyAuth known;
    if (!QORHttpQXGetProxyAuth(&known)) return TraceHttpOutOfMemory(&trace_, 0, kAuth, "proxy");
    if (status == 407 && !known.credentials.empty()) {
        // Refused as they were just sent: sending them again would only be refused again.
        if (known.credentials == proxyCredentialsSent_) return TraceHttpError(&trace_, 0, kAuth, "refused", -407);
        return 0;
    }
    if (head == nullptr) return TraceHttpError(&trace_, 0, kAuth, "Authenticate", kMalformed);
    const char* challenge = FindHeaderLine(head, status == 407 ? "proxy-authenticate: " : "www-authenticate: ", 0);
    if (challenge == nullptr) return TraceHttpError(&trace_, 0, kAuth, "Authenticate", kMalformed);
    const std::size_t schemeLength = std::strcspn(challenge, " \r\n");
    if (std::strncmp(challenge + schemeLength, " realm=", 7) != 0) {
        return TraceHttpError(&trace_, 0, kAuth, "realm", kMalformed);
    }
    const char* realm = challenge + schemeLength + 7;
    const char* end = std::strchr(realm, '\n');
    if (end == nullptr) return TraceHttpError(&trace_, 0, kAuth, "CRLF", kMalformed);
    std::size_t realmLength = static_cast<std::size_t>(end - realm);
    if (realmLength != 0 && realm[realmLength - 1] == '\r') --realmLength;
    try {
        const std::string scheme(challenge, schemeLength);
        const std::string realmText(realm, realmLength);
        QORHttpHeapText credentials;
        const HRESULT asked = GetCredentials(url, status, scheme.c_str(), realmText.c_str(), credentials.Put());
        if (asked != 0 || !credentials) return TraceHttpError(&trace_, 0, kAuth, "GetCredentials", asked != 0 ? asked : E_FAIL);
        if (status == 407 && !QORHttpQXSetProxyAuth(scheme, realmText, credentials.Get())) {
            return TraceHttpOutOfMemory(&trace_, 0, kAuth, "proxy");
        }
    } catch (const std::bad_alloc&) {
        return TraceHttpOutOfMemory(&trace_, 0, kAuth, "scheme");
    }
    return 0;
}

HRESULT QORHttpQXDriver::GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) {
    switch (id) {
        case QORHTTP_OPTION_CONNECT_TIMEOUT:
        case QORHTTP_OPTION_SEND_TIMEOUT:
        case QORHTTP_OPTION_RECEIVE_TIMEOUT:
        case QORHTTP_OPTION_URL_ENCODE_MODE:
        case QORHTTP_KEEP_ERROR_BODY: {
            bool handled = false;
            return GetBaseOption(kGetOptions, id, value, ioLength, &handled);
        }
        default: return TraceHttpError(&trace_, 0, kGetOptions, "(E_INVALIDARG iOption)", E_INVALIDARG);
    }
}

HRESULT QORHttpQXDriver::SetOptions(std::uint32_t id, const void* value, std::uint32_t length) {
    switch (id) {
        case QORHTTP_OPTION_SECURITY: {
            if (value == nullptr || length != sizeof(std::uint32_t)) {
                return TraceHttpError(&trace_, 0, kSetOptions, "(E_INVALIDARG iLen for QORHTTP_OPTION_SECURITY)", E_INVALIDARG);
            }
            std::uint32_t flags = 0;
            std::memcpy(&flags, value, sizeof flags);
            securityFlags_ |= flags;
            return 0;
        }
        case QORHTTP_OPTION_SET_CALLBACK:
            if (length != sizeof(void*)) {
                return TraceHttpError(&trace_, 0, kSetOptions, "(E_INVALIDARG iLen for QORHTTP_OPTION_SET_CALLBACK)", E_INVALIDARG);
            }
            callback_ = const_cast<void*>(value);
            return 0;
        case QORHTTP_OPTION_SET_CALLBACK_AUTO_DELETE:
            if (value == nullptr || length != sizeof(std::uint32_t)) {
                return TraceHttpError(&trace_, 0, kSetOptions,
                                      "(E_INVALIDARG iLen for QORHTTP_OPTION_SET_CALLBACK_AUTO_DELETE)", E_INVALIDARG);
            }
            std::memcpy(&autoDelete_, value, sizeof autoDelete_);
            return 0;
        case QORHTTP_OPTION_CONNECT_TIMEOUT:
        case QORHTTP_OPTION_SEND_TIMEOUT:
        case QORHTTP_OPTION_RECEIVE_TIMEOUT:
        case QORHTTP_OPTION_USERNAME:
        case QORHTTP_OPTION_PASSWORD:
        case QORHTTP_OPTION_PROXY_USERNAME:
        case QORHTTP_OPTION_PROXY_PASSWORD:
        case QORHTTP_OPTION_BODY_MODE:
        case QORHTTP_OPTION_SET_PERFO_CALLBACK:
        case QORHTTP_OPTION_URL_ENCODE_MODE:
        case QORHTTP_KEEP_ERROR_BODY: {
            bool handled = false;
            const HRESULT result = SetBaseOption(kSetOptions, id, value, length, &handled);
            if (result == 0 && socket_ && (id == QORHTTP_OPTION_SEND_TIMEOUT || id == QORHTTP_OPTION_RECEIVE_TIMEOUT)) {
                socket_->SetOptions(id, value, length);
            }
            return result;
        }
        default: return TraceHttpError(&trace_, 0, kSetOptions, "(E_INVALIDARG 2)", E_INVALIDARG);
    }
}
