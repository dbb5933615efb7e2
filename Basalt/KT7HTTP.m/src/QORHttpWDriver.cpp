#include "QORHttpWDriver.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "QORHttpAsyncWDriver.h"
#include "QORHttpCaches.h"
#include "QORHttpConnectedState.h"
#include "QORHttpErrors.h"
#include "QORHttpTools.h"
#include "QORHttpWDriverSettings.h"
#include "QORThrLibraryManager.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr std::uint32_t kStateChunked = 0x1;
constexpr std::uint32_t kStateOpened = 0x40;
constexpr HRESULT kDisconnected = static_cast<HRESULT>(0x80072F83);
constexpr HRESULT kNameNotResolved = static_cast<HRESULT>(0x80072EE7);
constexpr HRESULT kInvalidUrl = static_cast<HRESULT>(0x80072EE5);
constexpr std::uint32_t kHttpsRequestFlags = 0x80A00000;  // reload, secure, no automatic redirect
constexpr std::uint32_t kHttpRequestFlags = 0x80200000;   // reload, no automatic redirect

// The class's own mutex: the once-per-process set-up, the session open and the online state.
QORMutex& ClassMutex() {
    static QORMutex mutex;
    return mutex;
}

std::atomic<HWND> g_parentWindow{nullptr};

void ToLower(std::string& text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

// The port written in the URL's authority, when there is one: WinINet's cracking wraps a
// port above 65535 round to another port, so it is read here to be refused.
bool PortTooLarge(const char* url) {
    const char* start = std::strstr(url, "://");
    if (!start) return false;
    start += 3;
    const char* end = start + std::strcspn(start, "/?#");
    const std::string authority(start, end);
    std::string hostPort = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    std::size_t colon;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const std::size_t close = hostPort.find(']');
        if (close == std::string::npos) return false;
        colon = hostPort.find(':', close);
    } else {
        colon = hostPort.find(':');
    }
    if (colon == std::string::npos) return false;
    std::uint64_t port = 0;
    for (std::size_t i = colon + 1; i < hostPort.size(); ++i) {
        const char c = hostPort[i];
        if (c < '0' || c > '9') return false;
        port = port * 10 + static_cast<std::uint64_t>(c - '0');
        if (port > 65535) return true;
    }
    return false;
}

}  // namespace

void QORHttpWDriver::SetParentWindowHolder(HWND window) { g_parentWindow = window; }

QORHttpWDriver::QORHttpWDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor)
    : QORHttpDriver(userAgent, httpMajor, httpMinor) {
    if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "QORHttpWDriver::QORHttpWDriver");
    {
        QORMutexHold hold(ClassMutex());
        static const bool settingsWritten = [this] {
            QORHttpTools::InitializeRegKeys(trace_);
            return true;
        }();
        static_cast<void>(settingsWritten);
    }
    static_cast<void>(QORHttpPreventIgnoreCertErrors());
    if (httpMajor != 1 && httpMinor >= 2) {
        httpMajor_ = 1;
        httpMinor_ = 1;
    }
    const HWND held = g_parentWindow.load();
    parentWindow_ = held ? held : ::GetDesktopWindow();
    httpDecoding_ = 0;
    if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "QORHttpWDriver::LoadSecurityContextLib");
    // Looked up for a client certificate; nothing turns its use on, so it is only kept.
    getCertContext_ = QORThrLibraryManager::GetFunctionAddress("SecurityContext", "getCertContext").address;
}

QORHttpWDriver::~QORHttpWDriver() {
    if (internetInfo_) internetInfo_->CloseRequest();
    internetInfo_.Reset();
}

HRESULT QORHttpWDriver::InitData() {
    if (retrying_) return 0;
    downloadLimitation_ = 0;
    uploadLimitation_ = 0;
    transferCounters_[0] = transferCounters_[1] = 0;
    internetInfo_.Reset();
    QORHttpInternetInfo* info = QORHttpInternetInfo::Create();
    if (!info) return TraceHttpError(&trace_, 0, "QORHttpWDriver::InitData", "Cannot create InternetInfo", E_FAIL);
    internetInfo_ = QORHttpInternetInfoRef(info);
    info->closeMode = 1;
    info->callback = pendingCallback_;
    info->autoDelete = pendingAutoDelete_;
    info->requestEndEvent = pendingRequestEndEvent_;
    return 0;
}

HRESULT QORHttpWDriver::ReleaseData() {
    if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::ReleaseData");
    return 0;
}

HRESULT QORHttpWDriver::Connect(const char* host, std::uint32_t port, std::uint32_t accessType) {
    if (trace_) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::Connect (%s:%u flag:%x)", host ? host : "(null)", port,
                                      accessType);
    }
    if (!host) return TraceHttpError(&trace_, 0, "QORHttpWDriver::Connect", "ERROR_INTERNET_NAME_NOT_RESOLVED",
                                     kNameNotResolved);
    try {
        uploadTotal_ = uploaded_ = 0;
        lastChunkSent_ = 0;
        const QORHttpWDriverEnvironment& environment = QORHttpWDriverEnvironment::Get();
        {
            QORMutexHold hold(ClassMutex());
            if (environment.directConnect) accessType_ = INTERNET_OPEN_TYPE_DIRECT;
            if (accessType) accessType_ = accessType;
        }
        const std::string& computer = QORHttpComputerName();
        if (computer.empty()) {
            return TraceHttpError(&trace_, 0, "QORHttpWDriver::Connect", "GetComputerNameA", ERROR_INVALID_COMPUTERNAME);
        }
        std::string target = host;
        if (!environment.disableLocalhost && ::_stricmp(target.c_str(), computer.c_str()) == 0) target = "localhost";

        HRESULT hr = InitData();
        if (hr != 0) return hr;
        {
            QORMutexHold hold(ClassMutex());
            const DWORD attempt = ::InternetAttemptConnect(0);
            if (attempt != ERROR_SUCCESS) {
                return TraceHttpError(&trace_, 0, "QORHttpWDriver::Connect", "InternetAttemptConnect", attempt);
            }
            hr = QXInternetOpen();
        }
        if (hr != 0) return hr;
        if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::Connect (session=%p)", session_);

        ManageServerChange(target.c_str(), port);
        port_ = port;
        if (host_.empty()) host_ = target;
        hr = QXInternetConnect();
        if (hr != 0) return hr;

        HINTERNET connection = internetInfo_->connection;
        // Process-wide sizes, the same for every caller of the shared connection.
        if (environment.readBufferSet) {
            DWORD size = environment.readBufferSize;
            if (!::InternetSetOptionA(connection, INTERNET_OPTION_READ_BUFFER_SIZE, &size, sizeof size)) {
                return TraceHttpError(&trace_, 0, "QORHttpWDriver::Connect", "INTERNET_OPTION_READ_BUFFER_SIZE",
                                      ::GetLastError());
            }
        }
        if (environment.writeBufferSet) {
            DWORD size = environment.writeBufferSize;
            if (!::InternetSetOptionA(connection, INTERNET_OPTION_WRITE_BUFFER_SIZE, &size, sizeof size)) {
                return TraceHttpError(&trace_, 0, "QORHttpWDriver::Connect", "INTERNET_OPTION_WRITE_BUFFER_SIZE",
                                      ::GetLastError());
            }
        }
        return 0;
    } catch (...) {
        return TraceHttpOutOfMemory(&trace_, 0, "QORHttpWDriver::Connect", "oHost");
    }
}

HRESULT QORHttpWDriver::QXInternetOpen() {
    const char* key = userAgent_.empty() ? QORHTTP_DEFAULT_USER_AGENT : userAgent_.c_str();
    session_ = ZYNSysGetSession(key, 0);
    if (session_) {
        if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::QXInternetOpen (Session=<%p>)", session_);
        return 0;
    }
    ZYNSysInternetHandle session(::InternetOpenA(key, accessType_, nullptr, nullptr, 0));
    if (!session) return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetOpen", "InternetOpenA", ::GetLastError());
    if (::InternetSetStatusCallbackA(session.Get(), &QORHttpAsyncWDriver::inetCallBackFn) ==
        INTERNET_INVALID_STATUS_CALLBACK) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetOpen", "InternetSetStatusCallback",
                              ::GetLastError());
    }
    const HINTERNET opened = session.Get();
    if (ZYNSysSetSession(key, session, 0) == 0) {
        session_ = opened;
    } else {
        // Another driver stored its session first: that one is used, and ours closes here.
        session_ = ZYNSysGetSession(key, 0);
        if (!session_) return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetOpen", "ZYNSysSetSession", E_FAIL);
    }
    if (trace_) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::QXInternetOpen (UserAgent:<%s> New session=<%p>)", key,
                                      session_);
    }
    return 0;
}

HRESULT QORHttpWDriver::QXInternetConnect() {
    if (!internetInfo_) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetConnect", "(No _InternetInfo)", kDisconnected);
    }
    QORHttpInternetInfo& info = *internetInfo_.Get();
    HINTERNET connection = ZYNSysGetConnection(host_.c_str(), port_, session_);
    TellPerfo(Perfo::Connect);
    connectionClosed_ = 0;
    if (!connection) {
        ZYNSysInternetHandle opened;
        {
            QORMutexHold hold(info.mutex);
            info.operation = QORHttpInternetInfo::kConnect;
            info.handleEvent->SetUnsignal();
            // Context 0: the connection is shared through the cache and outlives this request's info.
            opened.Reset(::InternetConnectA(session_, host_.c_str(), static_cast<INTERNET_PORT>(port_), nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, 0));
            DWORD error = opened ? 0 : ::GetLastError();
            if (!opened && error == ERROR_IO_PENDING) {
                error = WaitForSingleEvent(info.handleEvent.get(), static_cast<int>(connectTimeout_)) == 0
                            ? (info.lastError & 0xFFFF)
                            : ERROR_INTERNET_TIMEOUT;
                if (!error && info.connection) opened.Reset(info.connection);
            }
            info.handleEvent->SetUnsignal();
            if (!opened) {
                return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetConnect", "InternetConnectA",
                                      error ? error : ERROR_INTERNET_CANNOT_CONNECT);
            }
        }
        connection = opened.Get();
        if (ZYNSysSetConnection(host_.c_str(), port_, session_, opened) != 0) {
            // Lost the race to another driver: its connection serves, ours closes with its owner.
            connection = ZYNSysGetConnection(host_.c_str(), port_, session_);
            if (!connection) {
                return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetConnect", "ZYNSysSetConnection", E_FAIL);
            }
        }
    }
    info.connection = connection;
    QORMutexHold hold(ClassMutex());
    return PreForceOnline();
}

HRESULT QORHttpWDriver::ManageServerChange(const char* host, std::uint32_t port) {
    if (internetInfo_ && internetInfo_->connection && !host_.empty() && host &&
        ::_stricmp(host_.c_str(), host) == 0 && port == port_) {
        return 0;
    }
    if (internetInfo_) internetInfo_->CloseRequest();
    host_.clear();
    return 0;
}

HRESULT QORHttpWDriver::PreForceOnline() {
    DWORD flags = 0;
    if (QORHttpGetConnectedState().Get(&flags)) return 0;
    if (QORHttpWDriverEnvironment::Get().noRattrap || ::_stricmp(host_.c_str(), "localhost") != 0) return 0;
    return ForceOnline(flags);
}

HRESULT QORHttpWDriver::ForceOnline(DWORD stateFlags) {
    if (QORHttpWDriverEnvironment::Get().disableForceOnline || !(stateFlags & INTERNET_CONNECTION_OFFLINE)) return 0;
    if (!internetInfo_ || !internetInfo_->connection) return kDisconnected;
    INTERNET_CONNECTED_INFO state{INTERNET_STATE_CONNECTED, 0};
    if (!::InternetSetOptionA(internetInfo_->connection, INTERNET_OPTION_CONNECTED_STATE, &state, sizeof state)) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::ForceOnline", "Failed to force Online", ::GetLastError());
    }
    return 0;
}

HRESULT QORHttpWDriver::Connection(const char* url) { return AnalysePath(url) == 0 ? 0 : -2; }

HRESULT QORHttpWDriver::AnalysePath(const char* url) {
    if (!url) return TraceHttpError(&trace_, 0, "QORHttpWDriver::AnalysePath", "url", E_INVALIDARG);
    QORHttpHeapText encoded;
    HRESULT hr = QORSysCodeUrl(url, encoded.Put(), urlEncodeMode_);
    if (hr != 0) return TraceHttpError(&trace_, 0, "QORHttpWDriver::AnalysePath", "QORSysCodeUrl", hr);
    // An unencoding mode leaves the text as it came.
    const char* text = encoded ? encoded.Get() : url;
    if (PortTooLarge(text)) return TraceHttpError(&trace_, 0, "QORHttpWDriver::AnalysePath", "port", kInvalidUrl);
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!::InternetCrackUrlA(text, 0, 0, &parts)) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::AnalysePath", "InternetCrackUrlA", ::GetLastError());
    }
    std::string host;
    try {
        host.assign(parts.lpszHostName ? parts.lpszHostName : "", parts.dwHostNameLength);
        ToLower(host);
        path_.assign(parts.lpszUrlPath ? parts.lpszUrlPath : "", parts.dwUrlPathLength);
        if (parts.lpszExtraInfo) path_.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    } catch (...) {
        return TraceHttpOutOfMemory(&trace_, 0, "QORHttpWDriver::AnalysePath", "oPath");
    }
    schemeKind_ = static_cast<std::uint32_t>(parts.nScheme);
    return Connect(host.c_str(), parts.nPort, 0);
}

HRESULT QORHttpWDriver::OpenRequest(const char* verb, const char* url, std::uint32_t flags,
                                    const char** acceptTypes) {
    if (trace_) ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::OpenRequest");
    if (!verb || !url) return TraceHttpError(&trace_, 0, "QORHttpWDriver::OpenRequest", "INVALIDARG", E_INVALIDARG);
    downloadState_ = -2;
    uploadTotal_ = uploaded_ = 0;
    bodyVerb_ = 0;
    lastChunkSent_ = 0;
    requestClosed_ = 0;
    requestState_ = 0;
    static const char* anyType[] = {"*/*", nullptr};
    const char** accept = acceptTypes ? acceptTypes : anyType;
    if (std::strcmp(verb, "POST") == 0 || std::strcmp(verb, "PUT") == 0 || std::strcmp(verb, "PATCH") == 0) {
        bodyVerb_ = 1;
        accept = nullptr;
    }
    HRESULT hr = AnalysePath(url);
    if (hr != 0) return hr;
    if (!retrying_) {
        firstScheme_ = schemeKind_;
        firstHost_ = host_;
        firstPort_ = port_;
    }
    onFirstOrigin_ = schemeKind_ == firstScheme_ && port_ == firstPort_ && ::_stricmp(host_.c_str(), firstHost_.c_str()) == 0;
    if (!internetInfo_ || !internetInfo_->connection) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::OpenRequest", "_InternetInfo == NULL or Hdl == NULL", E_FAIL);
    }
    internetInfo_->CloseRequest();
    hr = QXHttpOpenRequest(verb, path_.c_str(), accept, (IsHttps() ? kHttpsRequestFlags : kHttpRequestFlags) | flags);
    if (!internetInfo_->request) {
        return TraceHttpWin32Error(&trace_, 0, "\tQORHttpWDriver::OpenRequest (HttpOpenRequestA Error 0x%x)",
                                   static_cast<DWORD>(hr ? hr : ERROR_INTERNET_INTERNAL_ERROR) & 0xFFFF);
    }
    HINTERNET request = internetInfo_->request.Get();
    if (securityFlags_) {
        DWORD current = 0;
        DWORD size = sizeof current;
        if (!::InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &current, &size)) {
            TraceHttpWin32Error(&trace_, 0, "\tQORHttpWDriver::OpenRequest (InternetQueryOption Error 0x%x)",
                                ::GetLastError());
        }
        current |= securityFlags_;
        if (!::InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &current, sizeof current)) {
            TraceHttpWin32Error(&trace_, 0, "\tQORHttpWDriver::OpenRequest (InternetQueryOption Error 0x%x)",
                                ::GetLastError());
        }
    }
    hr = SetRequestOptions();
    if (hr != 0) return hr;
    requestState_ |= kStateOpened;
    if (pendingHeaders_ && pendingHeadersLength_ &&
        !::HttpAddRequestHeadersA(request, pendingHeaders_.Get(), static_cast<DWORD>(pendingHeadersLength_),
                                  HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD)) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::OpenRequest", "HttpAddRequestHeadersA", ::GetLastError());
    }
    // Decoding is this request's: on the shared connection it would reach other callers.
    if (httpDecoding_ == 1) {
        BOOL decode = TRUE;
        if (!::InternetSetOptionA(request, INTERNET_OPTION_HTTP_DECODING, &decode, sizeof decode)) {
            TraceHttpError(&trace_, 0, "QORHttpWDriver::OpenRequest", "INTERNET_OPTION_HTTP_DECODING", ::GetLastError());
        }
        if (!::HttpAddRequestHeadersA(request, "Accept-Encoding: gzip, deflate\r\n", static_cast<DWORD>(-1),
                                      HTTP_ADDREQ_FLAG_ADD_IF_NEW)) {
            TraceHttpError(&trace_, 0, "QORHttpWDriver::OpenRequest", "Accept-Encoding", ::GetLastError());
        }
    }
    return 0;
}

// The driver's time-outs on its own request: on the shared connection they would reach every
// other driver's requests to the same server.
HRESULT QORHttpWDriver::SetRequestOptions() {
    HINTERNET request = internetInfo_->request.Get();
    const struct {
        DWORD option;
        DWORD value;
        const char* tag;
    } timeouts[] = {
        {INTERNET_OPTION_RECEIVE_TIMEOUT, receiveTimeout_, "INTERNET_OPTION_RECEIVE_TIMEOUT"},
        {INTERNET_OPTION_SEND_TIMEOUT, sendTimeout_, "INTERNET_OPTION_SEND_TIMEOUT"},
        {INTERNET_OPTION_CONNECT_TIMEOUT, connectTimeout_, "INTERNET_OPTION_CONNECT_TIMEOUT"},
    };
    for (const auto& timeout : timeouts) {
        DWORD value = timeout.value;
        if (!::InternetSetOptionA(request, timeout.option, &value, sizeof value)) {
            return TraceHttpError(&trace_, 0, "QORHttpWDriver::OpenRequest", timeout.tag, ::GetLastError());
        }
    }
    return 0;
}

HRESULT QORHttpWDriver::QXHttpOpenRequest(const char* verb, const char* path, const char** acceptTypes,
                                          std::uint32_t flags) {
    if (trace_) {
        ZYNSysTraceClient::InfoPrintf(trace_, "\tQORHttpWDriver::QXHttpOpenRequest (Host to connect : %s Port to connect : %u)",
                                      host_.c_str(), port_);
    }
    connectionClosed_ = 0;
    QORHttpInternetInfo& info = *internetInfo_.Get();
    QORMutexHold hold(info.mutex);
    info.operation = QORHttpInternetInfo::kSend;
    info.handleEvent->SetUnsignal();
    HINTERNET request = ::HttpOpenRequestA(info.connection, verb, path, nullptr, nullptr, acceptTypes, flags,
                                           reinterpret_cast<DWORD_PTR>(&info));
    DWORD error = request ? 0 : ::GetLastError();
    if (request) {
        info.request.Reset(request);
    } else if (error == ERROR_IO_PENDING) {
        error = WaitForSingleEvent(info.handleEvent.get(), static_cast<int>(connectTimeout_)) == 0
                    ? (info.lastError & 0xFFFF)
                    : ERROR_INTERNET_TIMEOUT;
    }
    return static_cast<HRESULT>(error);
}

HRESULT QORHttpWDriver::AddRequestHeaders(const char* headers, std::uint32_t flags) {
    if (!(requestState_ & kStateOpened)) {
        char* block = pendingHeaders_.Take();
        const HRESULT hr = CoalesceHeader(headers, flags, &pendingHeadersLength_, &block);
        pendingHeaders_.Reset(block);
        return hr;
    }
    if (!HasRequest()) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::AddRequestHeaders", "ERROR_INTERNET_DISCONNECTED",
                              kDisconnected);
    }
    if (!headers) return 0;
    if (!::HttpAddRequestHeadersA(internetInfo_->request.Get(), headers, static_cast<DWORD>(-1), flags)) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::AddRequestHeaders", "HttpAddRequestHeadersA",
                              ::GetLastError());
    }
    return 0;
}

HRESULT QORHttpWDriver::GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex,
                                           std::uint32_t query, const char* customName) {
    if (!internetInfo_ || !internetInfo_->request) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::GetResponseHeaders", "ERROR_INTERNET_DISCONNECTED",
                              kDisconnected);
    }
    const bool custom = (query & 0x0FFFFFFF) == HTTP_QUERY_CUSTOM;
    if (custom != (customName != nullptr) || !outText || !ioLength) {
        return TraceHttpError(&trace_, 0, "QORHttpWDriver::GetResponseHeaders", "E_INVALIDARG", E_INVALIDARG);
    }
    *outText = nullptr;
    const std::size_t nameLength = custom ? std::strlen(customName) : 0;
    DWORD size = static_cast<DWORD>(nameLength + 256);
    DWORD index = ioIndex ? *ioIndex : 0;
    QORHttpHeapText buffer;
    for (int round = 0; round < 2; ++round) {
        buffer.Reset(static_cast<char*>(std::calloc(size + 1, 1)));
        if (!buffer) return TraceHttpOutOfMemory(&trace_, 0, "QORHttpWDriver::GetResponseHeaders", "buffer");
        if (custom) std::memcpy(buffer.Get(), customName, nameLength + 1);
        DWORD length = size;
        DWORD queryIndex = index;
        if (::HttpQueryInfoA(internetInfo_->request.Get(), query, buffer.Get(), &length, ioIndex ? &queryIndex : nullptr)) {
            *ioLength = length;
            if (ioIndex) *ioIndex = queryIndex;
            *outText = buffer.Take();
            return 0;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || round == 1) {
            return TraceHttpError(&trace_, 0, "QORHttpWDriver::GetResponseHeaders", "HttpQueryInfoA", error);
        }
        size = length + 1;
    }
    return E_FAIL;
}

HRESULT QORHttpWDriver::QXInternetQueryDataAvailable(std::uint32_t* outAvailable) {
    if (!outAvailable) return E_INVALIDARG;
    *outAvailable = 0;
    if (!internetInfo_ || !internetInfo_->request) return kDisconnected;
    QORHttpInternetInfo& info = *internetInfo_.Get();
    QORMutexHold hold(info.mutex);
    info.operation = QORHttpInternetInfo::kRead;
    info.completeEvent->SetUnsignal();
    DWORD available = 0;
    if (::InternetQueryDataAvailable(info.request.Get(), &available, 0, 0)) {
        *outAvailable = available;
        return 0;
    }
    DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        error = WaitForSingleEvent(info.completeEvent.get(), static_cast<int>(receiveTimeout_)) == 0
                    ? (info.lastError & 0xFFFF)
                    : ERROR_INTERNET_TIMEOUT;
        if (!error) return 0;
    }
    // A failed query (a time-out inside the body) is an error, not the end of the body.
    return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetQueryDataAvailable", "InternetQueryDataAvailable", error);
}

HRESULT QORHttpWDriver::QXInternetReadFile(std::uint64_t* ioLength, char* body, std::uint32_t toRead,
                                           std::uint32_t* outRead) {
    if (outRead) *outRead = 0;
    if (!ioLength || !body) return E_INVALIDARG;
    if (!internetInfo_ || !internetInfo_->request) return kDisconnected;
    QORHttpInternetInfo& info = *internetInfo_.Get();
    QORMutexHold hold(info.mutex);
    info.operation = QORHttpInternetInfo::kRead;
    info.completeEvent->SetUnsignal();
    DWORD read = 0;
    if (!::InternetReadFile(info.request.Get(), body + *ioLength, toRead, &read)) {
        DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            error = WaitForSingleEvent(info.completeEvent.get(), static_cast<int>(receiveTimeout_)) == 0
                        ? (info.lastError & 0xFFFF)
                        : ERROR_INTERNET_TIMEOUT;
        }
        // A failed read is an error, not an empty piece that would end the body.
        if (error) return TraceHttpError(&trace_, 0, "QORHttpWDriver::QXInternetReadFile", "InternetReadFile", error);
    }
    *ioLength += read;
    if (outRead) *outRead = read;
    return 0;
}

HRESULT QORHttpWDriver::GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) {
    if (!ioLength) return TraceHttpError(&trace_, 0, "QORHttpWDriver::GetOptions", "E_INVALIDARG ioLen", E_INVALIDARG);
    if (id == QORHTTP_OPTION_CONNECT_TYPE || id == QORHTTP_OPTION_HTTP_DECODING || id == QORHTTP_PARENT_WINDOW_HANDLER) {
        const std::uint32_t needed = id == QORHTTP_PARENT_WINDOW_HANDLER ? 8 : 4;
        if (!value) {
            *ioLength = needed;
            return 0;
        }
        if (*ioLength != needed) return TraceHttpError(&trace_, 0, "QORHttpWDriver::GetOptions", "E_INVALIDARG iLen", E_INVALIDARG);
        if (id == QORHTTP_PARENT_WINDOW_HANDLER) {
            std::memcpy(value, &parentWindow_, 8);
        } else {
            const std::uint32_t held = id == QORHTTP_OPTION_CONNECT_TYPE ? accessType_ : httpDecoding_;
            std::memcpy(value, &held, 4);
        }
        return 0;
    }
    bool handled = false;
    return GetBaseOption("QORHttpWDriver::GetOptions", id, value, ioLength, &handled);
}

HRESULT QORHttpWDriver::SetOptions(std::uint32_t id, const void* value, std::uint32_t length) {
    const char* operation = "QORHttpWDriver::SetOptions";
    if ((!value && id != QORHTTP_OPTION_SET_CALLBACK) || length == 0) {
        return TraceHttpError(&trace_, 0, operation, "E_INVALIDARG", E_INVALIDARG);
    }
    auto wrongLength = [&](const char* name) {
        if (trace_) {
            ZYNSysTraceClient::ErrorPrintf(trace_, __FILE__, __LINE__, "\t%s (E_INVALIDARG iLen for %s)", operation, name);
        }
        return E_INVALIDARG;
    };
    auto u32 = [&] {
        std::uint32_t read = 0;
        std::memcpy(&read, value, 4);
        return read;
    };
    auto pointer = [&] {
        void* read = nullptr;
        if (value) std::memcpy(&read, value, 8);
        return read;
    };
    switch (id) {
        case QORHTTP_OPTION_CONNECT_TYPE:
            if (length != 4) return wrongLength("QORHTTP_OPTION_CONNECT_TYPE");
            accessType_ |= u32();
            return 0;
        case QORHTTP_OPTION_SECURITY:
            if (length != 4) return wrongLength("QORHTTP_OPTION_SECURITY");
            securityFlags_ |= u32();
            return 0;
        case QORHTTP_OPTION_HTTP_DECODING:
            if (length != 4) return wrongLength("QORHTTP_OPTION_HTTP_DECODING");
            httpDecoding_ = u32();
            return 0;
        case QORHTTP_OPTION_SET_CALLBACK:
            if (length != 8) return wrongLength("QORHTTP_OPTION_SET_CALLBACK");
            // The pointer given as the value itself.
            pendingCallback_ = const_cast<void*>(value);
            return 0;
        case QORHTTP_OPTION_SET_CALLBACK_AUTO_DELETE:
            if (length != 4) return wrongLength("QORHTTP_OPTION_SET_CALLBACK_AUTO_DELETE");
            pendingAutoDelete_ = u32();
            return 0;
        case QORHTTP_OPTION_SET_HTTPREQUEST_END_EVENT:
            if (length != 8) return wrongLength("QORHTTP_OPTION_SET_HTTPREQUEST_END_EVENT");
            pendingRequestEndEvent_ = pointer();
            return 0;
        case QORHTTP_OPTION_DOWNLOAD_LIMITATION:
        case QORHTTP_OPTION_UPLOAD_LIMITATION: {
            if (length != 8) {
                return wrongLength(id == QORHTTP_OPTION_DOWNLOAD_LIMITATION ? "QORHTTP_OPTION_DOWNLOAD_LIMITATION"
                                                                            : "QORHTTP_OPTION_UPLOAD_LIMITATION");
            }
            std::uint64_t limit = 0;
            std::memcpy(&limit, value, 8);
            (id == QORHTTP_OPTION_DOWNLOAD_LIMITATION ? downloadLimitation_ : uploadLimitation_) = limit;
            return 0;
        }
        case QORHTTP_PARENT_WINDOW_HANDLER:
            if (length != 8) return wrongLength("QORHTTP_PARENT_WINDOW_HANDLER");
            parentWindow_ = static_cast<HWND>(pointer());
            return 0;
        default: {
            bool handled = false;
            return SetBaseOption(operation, id, value, length, &handled);
        }
    }
}

HRESULT QORHttpWDriver::ResetRequest() {
    if (internetInfo_) internetInfo_->CloseRequest();
    internetInfo_.Reset();
    return ReleaseData();
}

HRESULT QORHttpWDriver::CloseConnection() {
    // The connection itself stays in the cache for the next request.
    if (internetInfo_) internetInfo_->CloseRequest();
    return 0;
}

HRESULT QORHttpWDriver::CloseHandle(HINTERNET handle) {
    if (internetInfo_ && handle && internetInfo_->request.Get() == handle) {
        // The asynchronous close takes mode 1 only; in any other the handle still closes here.
        if (internetInfo_->closeMode != 1) {
            internetInfo_->CloseRequest();
            return QORHttpAsyncWDriver::CloseHandle(trace_, nullptr, internetInfo_.Get());
        }
        return QORHttpAsyncWDriver::CloseHandle(trace_, internetInfo_->request.Take(), internetInfo_.Get());
    }
    return QORHttpAsyncWDriver::CloseHandle(trace_, nullptr, internetInfo_.Get());
}
