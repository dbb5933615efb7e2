#include "ZYNSysContext.h"

#include <atomic>
#include <cstring>
#include <new>

#include "ZYNSysContextData.h"
#include "ZYNSysWin.h"

namespace {

std::atomic<DWORD> g_tlsIndex{TLS_OUT_OF_INDEXES};
std::atomic<ZYNSysContext*> g_rootContext{nullptr};
std::atomic<ZYNSysContext*> g_lastSetContext{nullptr};

// Exported, so any thread may come first: one index, allocated under the process-wide mutex.
DWORD EnsureIndex() {
    DWORD index = g_tlsIndex.load(std::memory_order_acquire);
    if (index != TLS_OUT_OF_INDEXES) return index;
    QORMutex::_mutexGlobal.Lock();
    index = g_tlsIndex.load(std::memory_order_acquire);
    if (index == TLS_OUT_OF_INDEXES) {
        index = ::TlsAlloc();
        g_tlsIndex.store(index, std::memory_order_release);
    }
    QORMutex::_mutexGlobal.Unlock();
    return index;
}

ZYNSysCString Duplicate(const char* text) { return ZYNSysCString(text ? _strdup(text) : nullptr); }

void FreeArray(char**& array) {
    if (!array) return;
    for (char** entry = array; *entry; ++entry) std::free(*entry);
    std::free(array);
    array = nullptr;
}

}  // namespace

ZYNSysContextData::ZYNSysContextData() { ZYNSysTraceClient::Create(&lifeCycle, "LifeCycle"); }

ZYNSysContextData::~ZYNSysContextData() {
    ZYNSysTraceClient::Destroy(&lifeCycle);
    for (char**& array : arrays) FreeArray(array);
}

int ZYNSysContextData::SetArray(int which, const char* const* entries) {
    if (which < 0 || which > 2) return -1;
    FreeArray(arrays[which]);
    if (!entries) return 0;
    std::size_t n = 0;
    while (entries[n]) ++n;
    auto** copy = static_cast<char**>(std::calloc(n + 1, sizeof(char*)));
    if (!copy) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        copy[i] = _strdup(entries[i]);
        if (!copy[i]) {
            FreeArray(copy);
            return -1;
        }
    }
    arrays[which] = copy;
    return 0;
}

const char* ZYNSysContextData::Lookup(const char* name) {
    if (!name) return nullptr;
    if (const void* value = variables.Get(name)) return static_cast<const char*>(value);
    const std::size_t length = std::strlen(name);
    for (int which = 2; which >= 0; --which) {
        if (!arrays[which]) continue;
        for (char** entry = arrays[which]; *entry; ++entry) {
            const char* equals = std::strchr(*entry, '=');
            if (equals && static_cast<std::size_t>(equals - *entry) == length &&
                std::strncmp(*entry, name, length) == 0)
                return equals + 1;
        }
    }
    return nullptr;
}

ZYNSysContext::ZYNSysContext(const char* name, const char* description)
    : name_(Duplicate(name)), description_(Duplicate(description)), data_(new (std::nothrow) ZYNSysContextData) {}

ZYNSysContext::~ZYNSysContext() = default;

int ZYNSysContextInitialize() { return EnsureIndex() == TLS_OUT_OF_INDEXES ? -1 : 0; }

int ZYNSysContextFinalize() {
    QORMutex::_mutexGlobal.Lock();
    // Back to "none": the freed slot may be handed to another module, and a later set must
    // allocate one of its own rather than write into it.
    const DWORD index = g_tlsIndex.exchange(TLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
    QORMutex::_mutexGlobal.Unlock();
    if (index == TLS_OUT_OF_INDEXES) return -1;
    return ::TlsFree(index) ? 0 : -1;
}

int ZYNSysContextSetCurrentContext(ZYNSysContext* context) {
    if (context) {
        ZYNSysContext* none = nullptr;
        if (g_rootContext.compare_exchange_strong(none, context)) g_lastSetContext.store(nullptr);
    }
    const DWORD index = EnsureIndex();
    if (index == TLS_OUT_OF_INDEXES) return -1;
    g_lastSetContext.exchange(context);
    return ::TlsSetValue(index, context) ? 0 : -1;
}

ZYNSysContext* ZYNSysContextGetCurrentContext() {
    ZYNSysContext* root = g_rootContext.load();
    const DWORD index = g_tlsIndex.load(std::memory_order_acquire);
    if (index == TLS_OUT_OF_INDEXES) return root;
    const DWORD error = ::GetLastError();
    auto* current = static_cast<ZYNSysContext*>(::TlsGetValue(index));
    ::SetLastError(error);
    if (current && current == root) {
        if (ZYNSysContext* last = g_lastSetContext.load()) current = last;
    }
    return current ? current : root;
}

ZYNSysContext* ZYNSysContextGetRootContext() { return g_rootContext.load(); }

int ZYNSysContextManager::GetMainContext(ZYNSysContext** context) {
    if (!context) return -1;
    mutex_.Lock();
    if (!main_) {
        auto* made = new (std::nothrow) ZYNSysContext("Main", "Main context.");
        if (made && made->GetData() && ZYNSysContextSetCurrentContext(made) == 0) {
            made->SetState(0);
            main_ = made;
        } else {
            delete made;
        }
    }
    ZYNSysContext* answer = main_;
    mutex_.Unlock();
    if (!answer) return -1;
    *context = answer;
    return 0;
}

ZYNSysContextManager* ZYNSysGetContextManager() {
    // Kept until the process ends, like the main context it owns.
    static ZYNSysContextManager* const manager = [] {
        auto* made = new (std::nothrow) ZYNSysContextManager;
        ZYNSysContext* main = nullptr;
        if (made) made->GetMainContext(&main);
        return made;
    }();
    return manager;
}

const char* ZYNSysContextGetVariable(const char* name) {
    ZYNSysContextManager* manager = ZYNSysGetContextManager();
    if (!manager || !name) return nullptr;
    manager->Mutex().Lock();
    const char* value = nullptr;
    if (ZYNSysContext* current = ZYNSysContextGetCurrentContext()) {
        if (ZYNSysContextData* data = current->GetData()) value = data->Lookup(name);
    }
    ZYNSysContext* main = nullptr;
    if (!value && manager->GetMainContext(&main) == 0) {
        if (ZYNSysContextData* data = main->GetData()) value = data->Lookup(name);
    }
    manager->Mutex().Unlock();
    return value;
}
