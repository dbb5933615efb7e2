#pragma once
// The per-request WinINet context of the WinINet driver: the request handle, the connection
// it was opened on (the connection cache's, never closed here), the events the status
// callback signals and what the callback reports. WinINet hands it back to the callback as
// the request handle's context, so it lives, by reference count, as long as that handle.

#include <atomic>
#include <cstdint>
#include <memory>

#include "QOREvent.h"
#include "QORMutex.h"
#include "ZYNSysInternetHandle.h"
#include "ZYNSysRefCounted.h"

class ZYNSysTraceClient;

class QORHttpInternetInfo : public ZYNSysRefCounted {
public:
    // What the pending WinINet call is, so that the callback knows which event to signal.
    enum Operation : std::uint32_t { kNone = 0, kConnect = 1, kSend = 2, kEndRequest = 3, kRead = 4, kClose = 5 };

    // Null when the events cannot be made.
    static QORHttpInternetInfo* Create();

    void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    std::int32_t References() const { return m_refCount.load(); }

    // Closes the request handle now (its closing notice still finds this object whole).
    void CloseRequest();

    std::uint32_t closeMode = 1;
    HINTERNET connection = nullptr;
    ZYNSysInternetHandle request;
    std::uint32_t operation = kNone;
    std::uint8_t removeContentLength = 0;
    std::uint32_t receivedBytes = 0;
    QORMutex mutex;
    std::unique_ptr<QOREvent> completeEvent;
    std::unique_ptr<QOREvent> closeEvent;
    std::unique_ptr<QOREvent> handleEvent;
    void* requestEndEvent = nullptr;
    ZYNSysTraceClient* trace = nullptr;
    void* callback = nullptr;
    std::uint32_t autoDelete = 0;
    std::atomic<std::uint32_t> lastError{0};
    std::atomic<std::uint8_t> connectionClosed{0};

protected:
    QORHttpInternetInfo();
    ~QORHttpInternetInfo() override;
};

// One counted reference to an internet info; the last one to go deletes it.
class QORHttpInternetInfoRef {
public:
    QORHttpInternetInfoRef() = default;
    // Takes over the reference the caller holds.
    explicit QORHttpInternetInfoRef(QORHttpInternetInfo* adopted) : info_(adopted) {}
    QORHttpInternetInfoRef(const QORHttpInternetInfoRef& other) : info_(other.info_) {
        if (info_) info_->AddRef();
    }
    QORHttpInternetInfoRef& operator=(QORHttpInternetInfoRef other) {
        std::swap(info_, other.info_);
        return *this;
    }
    ~QORHttpInternetInfoRef() { Reset(); }

    void Reset() {
        if (info_) info_->Release();
        info_ = nullptr;
    }
    QORHttpInternetInfo* Get() const { return info_; }
    QORHttpInternetInfo* operator->() const { return info_; }
    explicit operator bool() const { return info_ != nullptr; }

private:
    QORHttpInternetInfo* info_ = nullptr;
};
