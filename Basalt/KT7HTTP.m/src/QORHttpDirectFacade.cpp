// The direct facade: the base's driver choice, the requests handed to the driver as they are.

#include "QORHttpDirectFacade.h"

#include "QORMutex.h"

namespace {

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

QORHttpDirectFacade::QORHttpDirectFacade(const char* userAgent, std::uint16_t httpMajor, std::uint16_t httpMinor)
    : QORHttpFacade(userAgent, httpMajor, httpMinor, 0) {}

QORHttpDirectFacade::~QORHttpDirectFacade() {
    driver_.reset();
    callback_ = nullptr;
}

HRESULT QORHttpDirectFacade::Connection(const char* url) {
    SwapDriver(url, HttpDriverSetOnce<3>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Connection(url);
}

HRESULT QORHttpDirectFacade::GetWithBody(const char* url, std::uint32_t flags, char** outBody,
                                         std::uint64_t* outLength, std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<5>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Get(url, KeepConnection(flags), outBody, outLength, outKeepAlive);
}

HRESULT QORHttpDirectFacade::GetRangeWithBody(const char* url, std::uint32_t flags, std::uint32_t mode,
                                              std::int64_t start, std::int64_t endOrLength, char** outBody,
                                              std::uint64_t* outLength, std::uint32_t* outKeepAlive) {
    SwapDriver(url, HttpDriverSetOnce<7>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->GetRange(url, KeepConnection(flags), mode, start, endOrLength, outBody, outLength, outKeepAlive);
}

HRESULT QORHttpDirectFacade::PostStreamWithBody(const char* url, std::uint32_t flags, std::uint32_t contentType,
                                                QORHttpStreamer* streamer, std::uint32_t* outKeepAlive,
                                                char** outBody, std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<10>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->PostStream(url, KeepConnection(flags), contentType, streamer, outKeepAlive, outBody, outLength);
}

HRESULT QORHttpDirectFacade::PostWithBody(const char* url, std::uint32_t flags, const char* data,
                                          std::uint64_t length, std::uint32_t contentType,
                                          std::uint32_t* outKeepAlive, char** outBody, std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<11>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Post(url, KeepConnection(flags), data, length, contentType, outKeepAlive, outBody, outLength);
}

HRESULT QORHttpDirectFacade::Put(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                 std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                 std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<12>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Put(url, KeepConnection(flags), data, length, contentType, outKeepAlive, outBody, outLength);
}

HRESULT QORHttpDirectFacade::Patch(const char* url, std::uint32_t flags, const char* data, std::uint64_t length,
                                   std::uint32_t contentType, std::uint32_t* outKeepAlive, char** outBody,
                                   std::uint64_t* outLength) {
    SwapDriver(url, HttpDriverSetOnce<13>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Patch(url, KeepConnection(flags), data, length, contentType, outKeepAlive, outBody, outLength);
}

HRESULT QORHttpDirectFacade::NotSupported() { return QORHTTP_FACADE_NOT_SUPPORTED; }

HRESULT QORHttpDirectFacade::Head(const char* url, struct _stat64* stat) {
    SwapDriver(url, HttpDriverSetOnce<15>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Head(url, 0, stat);
}

HRESULT QORHttpDirectFacade::Options(const char* url, std::uint32_t flags) {
    SwapDriver(url, HttpDriverSetOnce<16>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Options(url, KeepConnection(flags));
}

HRESULT QORHttpDirectFacade::Delete(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                    std::uint32_t* outKeepAlive) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Delete(url, flags, outBody, outLength, outKeepAlive);
}

HRESULT QORHttpDirectFacade::Link(const char* url, std::uint32_t flags, char** outBody, std::uint64_t* outLength,
                                  std::uint32_t* outKeepAlive) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->Link(url, flags, outBody, outLength, outKeepAlive);
}

HRESULT QORHttpDirectFacade::OpenRequest(const char* verb, const char* url, std::uint32_t flags,
                                         const char** acceptTypes) {
    SwapDriver(url, HttpDriverSetOnce<21>(), ClassLock());
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->OpenRequest(verb, url, flags, acceptTypes);
}

HRESULT QORHttpDirectFacade::SendRequest(const char* data, std::uint64_t length) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->SendRequest(data, length, data != nullptr && length != 0 ? 1 : 0);
}

HRESULT QORHttpDirectFacade::SendRawData(const char* data, std::uint64_t length) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return driver_->SendRawData(data, length);
}

HRESULT QORHttpDirectFacade::SetOptions(std::uint32_t id, const void* value, std::uint32_t length) {
    if (!driver_) return QORHTTP_FACADE_NO_DRIVER;
    return SetDriverOption(id, value, length);
}
