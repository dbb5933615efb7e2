// The facade: driver choice and swap, per-request driver options, the error-body read.

#include "QORHttpFacade.h"

#include <cstring>
#include <new>

#include "CheckIfCASValid.h"
#include "QORHttpCookie.h"
#include "QORHttpDriverFactory.h"
#include "QORMutex.h"

namespace {

constexpr std::uint32_t kBodyModeNone = 0;
constexpr std::uint32_t kBodyModeCallerReads = 0x10000;
constexpr std::uint32_t kKeepConnection = 0x400000;

// The store asks the CAS server before a CASTGC cookie replaces a valid session's; any program
// that makes requests through a facade has the check in place from its start.
[[maybe_unused]] const bool g_casCheckInstalled = (QORSysSetCASCheck(&CheckIfCASValid), true);

bool StartsWith(const char* text, const char* prefix) {
    return text != nullptr && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool IsBodyVerb(const char* verb) {
    return verb != nullptr &&
           (std::strcmp(verb, "PUT") == 0 || std::strcmp(verb, "POST") == 0 || std::strcmp(verb, "PATCH") == 0);
}

// Options the driver base keeps itself and QORHttpDriver::CopyBaseSettings carries over.
bool BaseKeeps(std::uint32_t id) {
    switch (id) {
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
        case QORHTTP_KEEP_ERROR_BODY:
            return true;
        default:
            return false;
    }
}

// Transport options are fixed-size values; anything larger is not worth remembering.
constexpr std::uint32_t kMaxRememberedOption = 64;

// The once-read look at "HTTPDriver" of one wrapper (each keeps its own).
template <int Wrapper>
bool HttpDriverSetOnce() {
    static const bool set = QORHttpFacade::HttpDriverSetInEnvironment();
    return set;
}

// The class's lock around its driver swaps, made on first use.
QORMutex& ClassLock() {
    static QORMutex lock;
    return lock;
}

}  // namespace

QORHttpFacade::QORHttpFacade(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor,
                             std::uint8_t /*flag*/) {
    CreateDriver(userAgent, httpMajor, httpMinor);
}

void QORHttpFacade::CreateDriver(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor) {
    try {
        QORHttpDriverFactory& factory = QORHttpGetDriverFactory();
        driver_ = HttpDriverSetInEnvironment() ? factory.MakeRawSocketDriver(userAgent, httpMajor, httpMinor)
                                               : factory.MakeWinINetDriver(userAgent, httpMajor, httpMinor);
    } catch (...) {
        driver_.reset();
    }
}

QORHttpFacade::~QORHttpFacade() {
    driver_.reset();
    callback_ = nullptr;
}

std::uint32_t QORHttpFacade::KeepConnection(std::uint32_t flags) {
    return (flags & 0xF) == 1 ? ((flags - 1) | kKeepConnection) : flags;
}

bool QORHttpFacade::HttpDriverSetInEnvironment() {
    char value[1];
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableA("HTTPDriver", value, sizeof value);
    return length != 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void QORHttpFacade::SwapDriver(const char* url, bool setInEnvironment, QORMutex& classLock) {
    QORMutexHold hold(classLock);
    if (!setInEnvironment || !driver_) return;
    try {
        QORHttpDriverFactory& factory = QORHttpGetDriverFactory();
        const char type = driver_->GetType();
        std::unique_ptr<QORHttpDriver> replacement;
        if (StartsWith(url, "https://") && type == 'D') {
            if (const QORHttpBuildDriverWithCopy builder = factory.FindBuilderWithCopy()) {
                replacement.reset(builder(driver_.get()));
            } else {
                replacement = factory.MakeWinINetDriver(driver_->UserAgent(), driver_->HttpMajor(),
                                                        driver_->HttpMinor());
            }
        } else if (StartsWith(url, "http://") && type == 's') {
            replacement =
                factory.MakeRawSocketDriver(driver_->UserAgent(), driver_->HttpMajor(), driver_->HttpMinor());
        }
        if (!replacement) return;
        // A builder that hands back the driver in use: it stays, owned once.
        if (replacement.get() == driver_.get()) {
            static_cast<void>(replacement.release());
            return;
        }
        // Settings only partly carried over would surprise the caller more than the old transport.
        if (FAILED(CarrySettings(*replacement, *driver_))) return;
        driver_ = std::move(replacement);
    } catch (...) {
        // The request runs on the old driver.
    }
}

HRESULT QORHttpFacade::CarrySettings(QORHttpDriver& to, QORHttpDriver& from) {
    // Without this a caller's 30-second time-outs would fall back to the defaults of hours, and
    // its credentials and callback would be lost, when the scheme changes the transport.
    const HRESULT copied = to.CopyBaseSettings(from);
    if (FAILED(copied)) return copied;
    for (const RememberedOption& option : options_) {
        to.SetOptions(option.id, option.value.data(), static_cast<std::uint32_t>(option.value.size()));
    }
    if (givenCallback_ != nullptr) to.SetOptions(QORHTTP_OPTION_SET_CALLBACK, givenCallback_, sizeof givenCallback_);
    return 0;
}

HRESULT QORHttpFacade::SetDriverOption(std::uint32_t id, const void* value, std::uint32_t length) {
    const HRESULT result = driver_->SetOptions(id, value, length);
    // The callback option's value is the callback itself: remembered as a pointer, and a null
    // one clears it.
    if (id == QORHTTP_OPTION_SET_CALLBACK) {
        if (result >= 0) givenCallback_ = const_cast<void*>(value);
        return result;
    }
    // Ownership of an auto-deleted callback stays with the driver that was given it.
    if (result < 0 || value == nullptr || BaseKeeps(id) || id == QORHTTP_OPTION_SET_CALLBACK_AUTO_DELETE ||
        length > kMaxRememberedOption) {
        return result;
    }
    try {
        const auto* bytes = static_cast<const unsigned char*>(value);
        std::vector<unsigned char> copy(bytes, bytes + length);
        for (RememberedOption& option : options_) {
            if (option.id == id) {
                // The drivers OR these into what they hold: so does what a swapped-in one gets.
                if ((id == QORHTTP_OPTION_CONNECT_TYPE || id == QORHTTP_OPTION_SECURITY) &&
                    option.value.size() == copy.size()) {
                    for (std::size_t i = 0; i < copy.size(); ++i) copy[i] |= option.value[i];
                }
                option.value = std::move(copy);
                return result;
            }
        }
        options_.push_back(RememberedOption{id, std::move(copy)});
    } catch (const std::bad_alloc&) {
        // Only a later swap loses the option.
    }
    return result;
}

void QORHttpFacade::PrepareRequest(std::uint32_t bodyMode, bool withCallback) {
    if (withCallback && callback_ != nullptr) {
        SetDriverOption(QORHTTP_OPTION_SET_CALLBACK, callback_, sizeof callback_);
    }
    SetDriverOption(QORHTTP_OPTION_BODY_MODE, &bodyMode, sizeof bodyMode);
}

HRESULT QORHttpFacade::ReadBodyAfter(HRESULT result, char** outBody, std::uint64_t* outLength) {
    if (outLength == nullptr) return result;
    const bool keptErrorBody = result >= -599 && result <= -401 && keepErrorBody_ != 0;
    if ((result < 0 || *outLength == 0) && !keptErrorBody) return result;
    return driver_->Download(outLength, outBody);
}

// ---- slots --------------------------------------------------------------------------------

HRESULT QORHttpFacade::SetCallback(void* callback) {
    if (!driver_) return E_FAIL;
    callback_ = callback;
    return SetDriverOption(QORHTTP_OPTION_SET_CALLBACK, callback_, sizeof callback_);
}

HRESULT QORHttpFacade::Connect(const char* host, std::uint32_t port, std::uint32_t accessType) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Connect(host, port, accessType);
}

HRESULT QORHttpFacade::Connection(const char* url) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Connection(url);
}

HRESULT QORHttpFacade::Get(const char* url, std::uint32_t flags, std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<4>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    const std::uint32_t none = kBodyModeNone;
    SetDriverOption(QORHTTP_OPTION_BODY_MODE, &none, sizeof none);
    PrepareRequest(kBodyModeCallerReads, true);
    return driver_->Get(url, KeepConnection(flags), nullptr, nullptr, outKeepAlive);
}

HRESULT QORHttpFacade::GetWithBody(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                   std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<5>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeCallerReads, true);
    const HRESULT result = driver_->Get(url, KeepConnection(flags), outBody, outLength, outKeepAlive);
    return ReadBodyAfter(result, outBody, outLength);
}

HRESULT QORHttpFacade::GetRange(const char* url, std::uint32_t flags, std::uint32_t mode, std::int64_t start,
                                std::int64_t endOrLength, std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<6>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    const std::uint32_t none = kBodyModeNone;
    SetDriverOption(QORHTTP_OPTION_BODY_MODE, &none, sizeof none);
    PrepareRequest(kBodyModeCallerReads, true);
    return driver_->GetRange(url, KeepConnection(flags), mode, start, endOrLength, nullptr, nullptr, outKeepAlive);
}

HRESULT QORHttpFacade::GetRangeWithBody(const char* url, std::uint32_t flags, std::uint32_t mode,
                                        std::int64_t start, std::int64_t endOrLength, char** outBody,
                                        std::uint64_t* outLength, std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<7>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeCallerReads, true);
    const HRESULT result =
        driver_->GetRange(url, KeepConnection(flags), mode, start, endOrLength, outBody, outLength, outKeepAlive);
    return ReadBodyAfter(result, outBody, outLength);
}

HRESULT QORHttpFacade::PostStream(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                  QORHttpStreamer* streamer, std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<8>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    const std::uint32_t none = kBodyModeNone;
    SetDriverOption(QORHTTP_OPTION_BODY_MODE, &none, sizeof none);
    PrepareRequest(kBodyModeCallerReads, true);
    return driver_->PostStream(url, KeepConnection(flags), contentType, streamer, outKeepAlive, nullptr, nullptr);
}

HRESULT QORHttpFacade::Post(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                            std::uint32_t contentType, std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<9>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    const std::uint32_t none = kBodyModeNone;
    SetDriverOption(QORHTTP_OPTION_BODY_MODE, &none, sizeof none);
    PrepareRequest(kBodyModeCallerReads, true);
    return driver_->Post(url, KeepConnection(flags), data, length, contentType, outKeepAlive, nullptr, nullptr);
}

HRESULT QORHttpFacade::PostStreamWithBody(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                          QORHttpStreamer* streamer, std::uint32_t* outKeepAlive, char** outBody,
                                          std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<10>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeCallerReads, true);
    const HRESULT result =
        driver_->PostStream(url, KeepConnection(flags), contentType, streamer, outKeepAlive, outBody, outLength);
    return ReadBodyAfter(result, outBody, outLength);
}

HRESULT QORHttpFacade::PostWithBody(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                    std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                    std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<11>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeCallerReads, true);
    const HRESULT result =
        driver_->Post(url, KeepConnection(flags), data, length, contentType, outKeepAlive, outBody, outLength);
    return ReadBodyAfter(result, outBody, outLength);
}

HRESULT QORHttpFacade::Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                           std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                           std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<12>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeNone, false);
    return driver_->Put(url, KeepConnection(flags), data, length, contentType, outKeepAlive, outBody, outLength);
}

HRESULT QORHttpFacade::Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                             std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                             std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<13>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeNone, false);
    return driver_->Patch(url, KeepConnection(flags), data, length, contentType, outKeepAlive, outBody, outLength);
}

HRESULT QORHttpFacade::NotSupported() {
    bodyPending_ = 0;
    return QORHTTP_FACADE_NOT_SUPPORTED;
}

HRESULT QORHttpFacade::Head(const char* url, struct _stat64* stat) {
    SwapDriver(url, HttpDriverSetOnce<15>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeNone, false);
    return driver_->Head(url, 0, stat);
}

HRESULT QORHttpFacade::Options(const char* url, std::uint32_t flags) {
    SwapDriver(url, HttpDriverSetOnce<16>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    return driver_->Options(url, KeepConnection(flags));
}

HRESULT QORHttpFacade::Delete(const char* url, std::uint32_t flags, std::uint32_t* outKeepAlive) {
    return Delete(url, flags, nullptr, nullptr, outKeepAlive);
}

HRESULT QORHttpFacade::Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                              std::uint32_t* outKeepAlive) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeNone, false);
    return driver_->Delete(url, flags, outBody, outLength, outKeepAlive);
}

HRESULT QORHttpFacade::Link(const char* url, std::uint32_t flags, std::uint32_t* outKeepAlive) {
    return Link(url, flags, nullptr, nullptr, outKeepAlive);
}

HRESULT QORHttpFacade::Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                            std::uint32_t* outKeepAlive) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    bodyPending_ = 0;
    PrepareRequest(kBodyModeNone, false);
    return driver_->Link(url, flags, outBody, outLength, outKeepAlive);
}

HRESULT QORHttpFacade::OpenRequest(const char* verb, const char* url, std::uint32_t flags,
                                   const char** acceptTypes) {
    SwapDriver(url, HttpDriverSetOnce<21>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    if (callback_ != nullptr) SetDriverOption(QORHTTP_OPTION_SET_CALLBACK, callback_, sizeof callback_);
    if (IsBodyVerb(verb)) bodyPending_ = 1;
    return driver_->OpenRequest(verb, url, flags, acceptTypes);
}

HRESULT QORHttpFacade::AddRequestHeaders(const char* headers, std::uint32_t flags) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->AddRequestHeaders(headers, flags);
}

HRESULT QORHttpFacade::SendRequest(const char* data, std::uint64_t length) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    const std::uint32_t hasBody = data != nullptr && length != 0 ? 1 : 0;
    driver_->OnRequestStart();
    const HRESULT result = driver_->SendRequest(data, length, hasBody);
    // A body verb sent without its body stays open for SendRawData pieces.
    if (hasBody != 0 || bodyPending_ == 0) driver_->OnRequestEnd(result >= 0 ? 1 : 0);
    return result;
}

HRESULT QORHttpFacade::SendRawData(const char* data, std::uint64_t length) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    const HRESULT result = driver_->SendRawData(data, length);
    if (data == nullptr && length == 0) driver_->OnRequestEnd(result >= 0 ? 1 : 0);
    return result;
}

HRESULT QORHttpFacade::CloseRequest() {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->CloseRequest();
}

HRESULT QORHttpFacade::GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex,
                                          std::uint32_t query, const char* customName) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->GetResponseHeaders(outText, ioLength, ioIndex, query, customName);
}

HRESULT QORHttpFacade::Download(std::uint64_t* ioLength, char** outBody) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Download(ioLength, outBody);
}

HRESULT QORHttpFacade::DownloadEx(std::uint32_t flags, std::uint64_t* ioLength, char** ioBody,
                                  std::uint32_t* ioDone) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->DownloadEx(flags, ioLength, ioBody, ioDone);
}

HRESULT QORHttpFacade::GetOptions(std::uint32_t id, void* value, std::uint32_t* ioLength) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->GetOptions(id, value, ioLength);
}

HRESULT QORHttpFacade::SetOptions(std::uint32_t id, const void* value, std::uint32_t length) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    if (id == QORHTTP_KEEP_ERROR_BODY) {
        if (length != sizeof(std::uint32_t) || value == nullptr) return E_INVALIDARG;
        std::memcpy(&keepErrorBody_, value, sizeof keepErrorBody_);
    }
    return SetDriverOption(id, value, length);
}
