#include "ZYNSysTraceClient.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "ZYNSysTraceManager.h"
#include "ZYNSysTraceOutput.h"
#include "ZYNSysWin.h"

namespace {

// What Create makes: time, name and thread id in every prefix.
class ZYNSysTraceDerivedClient : public ZYNSysTraceClient {
public:
    explicit ZYNSysTraceDerivedClient(const char* traceName) noexcept {
        Construct(traceName);
        message_.mask = 63;
        message_.terminator = output_ != nullptr && output_->ringSize_ != 0 ? "\r\n" : "\n";
    }
};

}  // namespace

ZYNSysTraceClient::ZYNSysTraceClient() noexcept = default;

ZYNSysTraceClient::~ZYNSysTraceClient() {
    if (output_ != nullptr) {
        ZYNSysTraceManager* manager = ZYNSysTraceManager::Instance();
        if (manager != nullptr) {
            ZYNSysTraceManager::Hold hold(*manager);
            --output_->clients_;
        }
    }
    active_ = enabled_ = 0;
    output_ = nullptr;
}

void ZYNSysTraceClient::Construct(const char* traceName) noexcept {
    if (traceName == nullptr || *traceName == '\0') traceName = "COMMON";
    ZYNSysTraceManager* manager = ZYNSysTraceManager::Instance();
    if (manager == nullptr) return;
    ZYNSysTraceManager::Hold hold(*manager);
    // Initialisation keeps what it declared before a failure: the client binds to that.
    try {
        manager->Init();
    } catch (...) {
    }
    const char* stored = nullptr;
    ZYNSysTraceOutput* output = manager->Find(traceName, &stored);
    if (output != nullptr) {
        active_ = output->active_ ? 1 : 0;
        enabled_ = output->enabled_ ? 1 : 0;
        output_ = output;
        traceName_ = stored;
        ++output->clients_;
    }
    message_.traceName = traceName_;
}

void ZYNSysTraceClient::Create(ZYNSysTraceClient** slot, const char* traceName) noexcept {
    if (slot == nullptr || __atomic_load_n(slot, __ATOMIC_ACQUIRE) != nullptr) return;
    ZYNSysTraceClient* client = new (std::nothrow) ZYNSysTraceDerivedClient(traceName);
    if (client == nullptr) return;
    if (client->output_ == nullptr || !client->enabled_) {
        delete client;
        return;
    }
    ZYNSysTraceClient* expected = nullptr;
    if (!__atomic_compare_exchange_n(slot, &expected, client, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        delete client;
    }
}

void ZYNSysTraceClient::Destroy(ZYNSysTraceClient** slot) noexcept {
    if (slot == nullptr) return;
    ZYNSysTraceClient* client = __atomic_exchange_n(slot, nullptr, __ATOMIC_ACQ_REL);
    if (client == nullptr) return;
    // Another thread may have read the slot just before and still be writing through it.
    ZYNSysTraceManager* manager = ZYNSysTraceManager::Instance();
    if (manager != nullptr) manager->Retire(client);
}

int ZYNSysTraceClient::InfoPrintf(ZYNSysTraceClient* client, const char* format, ...) noexcept {
    if (client == nullptr) return -1;
    va_list arguments;
    va_start(arguments, format);
    const int result = client->Emit(1, nullptr, 0, format, arguments);
    va_end(arguments);
    return result;
}

int ZYNSysTraceClient::WarningPrintf(ZYNSysTraceClient* client, const char* format, ...) noexcept {
    if (client == nullptr) return -1;
    va_list arguments;
    va_start(arguments, format);
    const int result = client->Emit(3, nullptr, 0, format, arguments);
    va_end(arguments);
    return result;
}

int ZYNSysTraceClient::ErrorPrintf(ZYNSysTraceClient* client, const char* sourceFile, int line,
                                   const char* format, ...) noexcept {
    if (client == nullptr) return -1;
    va_list arguments;
    va_start(arguments, format);
    const int result = client->Emit(4, sourceFile, line, format, arguments);
    va_end(arguments);
    return result;
}

int ZYNSysTraceClient::Emit(int severity, const char* sourceFile, int line, const char* format,
                            va_list arguments) noexcept {
    if (!IsActive() || format == nullptr) return -1;
    ZYNSysTraceManager* manager = ZYNSysTraceManager::Instance();
    if (manager == nullptr) return -1;
    ZYNSysTraceManager::Hold hold(*manager);
    int result = -1;
    ZYNSysTraceOutput* output = output_;
    message_.severity = severity;
    message_.level = 0;
    message_.sourceFile = sourceFile;
    message_.line = line;
    if (output != nullptr && output->enabled_ && output->lower_ <= message_.level &&
        message_.level < output->upper_) {
        char* text = manager->FormatBuffer();
        std::unique_ptr<char[]> heap;
        va_list copy;
        va_copy(copy, arguments);
        const int needed = std::vsnprintf(text, 4096, format, arguments);
        if (needed < 0) {
            text[4095] = '\0';
        } else if (needed >= 4096) {
            heap.reset(new (std::nothrow) char[static_cast<std::size_t>(needed) + 1]);
            if (heap) {
                std::vsnprintf(heap.get(), static_cast<std::size_t>(needed) + 1, format, copy);
                text = heap.get();
            }
        }
        va_end(copy);
        if (text[0] != '\0') {
            const char* prefix = output->BuildPrefix(message_);
            result = output->WriteLine(severity, text, prefix, message_.terminator);
        }
    }
    return result;
}
