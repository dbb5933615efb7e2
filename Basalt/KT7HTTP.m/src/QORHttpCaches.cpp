#include "QORHttpCaches.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "QORHttpErrors.h"
#include "QORMutex.h"
#include "ZYNSysPtrHashTable.h"
#include "ZYNSysTraceClient.h"

namespace {

ZYNSysTraceClient* g_trace = nullptr;

ZYNSysTraceClient** Trace() {
    ZYNSysTraceClient::Create(&g_trace, "HTTP");
    return &g_trace;
}

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
using Text = std::unique_ptr<char, FreeText>;

struct QORHttpSessionEntry {
    std::uint32_t keyHash = 0;
    const char* key = nullptr;  // keyCopy's text; a look-up's probe borrows the caller's
    Text keyCopy;
    ZYNSysInternetHandle session;
    std::uint64_t reserved = 0;
};

struct QORHttpConnectionEntry {
    HINTERNET session = nullptr;
    std::uint32_t port = 0;
    std::uint32_t hostHash = 0;
    const char* host = nullptr;  // hostCopy's text; a look-up's probe borrows the caller's
    Text hostCopy;
    ZYNSysInternetHandle connection;
};

bool SameTextIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a);
        unsigned char y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
        if (x == '\0') return true;
    }
}

std::uint32_t SessionHash(const void* item) {
    const auto* entry = static_cast<const QORHttpSessionEntry*>(item);
    return entry != nullptr && entry->key != nullptr ? entry->keyHash : 0;
}

// Equal keys, not only equal hashes: two user agents of one hash must not share a session.
int SessionEqual(const void* stored, const void* given) {
    const auto* a = static_cast<const QORHttpSessionEntry*>(stored);
    const auto* b = static_cast<const QORHttpSessionEntry*>(given);
    if (a == nullptr || b == nullptr || a->key == nullptr || b->key == nullptr) return 0;
    return SameTextIgnoringCase(a->key, b->key) ? 1 : 0;
}

std::uint32_t ConnectionHash(const void* item) {
    const auto* entry = static_cast<const QORHttpConnectionEntry*>(item);
    return entry != nullptr && entry->host != nullptr ? entry->hostHash : 0;
}

// The host text decides as well as its hash: a collision must not hand one host's connection,
// and with it its cookies and credentials, to another host's request.
int ConnectionEqual(const void* stored, const void* given) {
    const auto* a = static_cast<const QORHttpConnectionEntry*>(stored);
    const auto* b = static_cast<const QORHttpConnectionEntry*>(given);
    if (a == nullptr || b == nullptr || a->host == nullptr || b->host == nullptr) return 0;
    return a->port == b->port && a->session == b->session &&
                   SameTextIgnoringCase(a->host, b->host)
               ? 1
               : 0;
}

// A table with its own plain mutex; absent when the table could not be made.
struct LockedTable {
    ZYNSysPtrHashTable table;
    QORMutex mutex{0, 0};
    bool present = false;
};

struct SessionTables {
    LockedTable tables[2];
};

// Made on first use and kept for the process: the cached handles must outlive every driver.
SessionTables* Sessions() {
    static SessionTables* const sessions = [] {
        auto* made = new (std::nothrow) SessionTables;
        if (made == nullptr) return made;
        for (LockedTable& t : made->tables) {
            t.present = ZYNSysPtrHashTable::Init(&t.table, 4, &SessionHash, &SessionEqual) == 0 &&
                        t.mutex.IsCreated() != 0;
        }
        return made;
    }();
    return sessions;
}

LockedTable* Connections() {
    static LockedTable* const connections = [] {
        auto* made = new (std::nothrow) LockedTable;
        if (made == nullptr) return made;
        made->present = ZYNSysPtrHashTable::Init(&made->table, 40, &ConnectionHash, &ConnectionEqual) == 0 &&
                        made->mutex.IsCreated() != 0;
        return made;
    }();
    return connections;
}

LockedTable* SessionTable(int which) {
    SessionTables* sessions = Sessions();
    if (sessions == nullptr) return nullptr;
    LockedTable& t = sessions->tables[which == 0 ? 0 : 1];
    return t.present ? &t : nullptr;
}

LockedTable* ConnectionTable() {
    LockedTable* t = Connections();
    return t != nullptr && t->present ? t : nullptr;
}

Text CopyText(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    Text copy(static_cast<char*>(std::malloc(size)));
    if (copy) std::memcpy(copy.get(), text, size);
    return copy;
}

}  // namespace

std::uint32_t QORHttpTextHash(const char* text) noexcept {
    if (text == nullptr) return 0;
    const std::size_t length = std::strlen(text);
    if (length == 0) return 0;
    const std::size_t step = length < 128 ? 1 : length / 64;
    std::uint32_t h = 0;
    for (std::size_t i = 0; i < length; i += step) {
        h = h * 37u + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(text[i])));
    }
    return h & 0x7FFFFFFFu;
}

HINTERNET ZYNSysGetSession(const char* key, int which) noexcept {
    constexpr const char* kName = "QORHttpSession->ZYNSysGetSession";
    ZYNSysTraceClient** trace = Trace();
    ZYNSysTraceClient::InfoPrintf(*trace, "%s", kName);
    if (key == nullptr) {
        TraceHttpError(trace, 0, kName, "INVALIDARG", E_INVALIDARG);
        return nullptr;
    }
    LockedTable* t = SessionTable(which);
    if (t == nullptr) {
        TraceHttpError(trace, 0, kName, "NO CACHE", E_FAIL);
        return nullptr;
    }
    QORHttpSessionEntry probe;
    probe.keyHash = QORHttpTextHash(key);
    probe.key = key;
    HINTERNET found = nullptr;
    {
        QORMutexHold hold(t->mutex);
        const auto* entry = static_cast<const QORHttpSessionEntry*>(t->table.Find(&probe));
        if (entry != nullptr) found = entry->session.Get();
    }
    TraceHttpResult(trace, 0, kName, found != nullptr ? "End" : "End 3",
                    static_cast<HRESULT>(reinterpret_cast<std::uintptr_t>(found)));
    return found;
}

HRESULT ZYNSysSetSession(const char* key, ZYNSysInternetHandle& session, int which) noexcept {
    constexpr const char* kName = "QORHttpSession->ZYNSysSetSession";
    ZYNSysTraceClient** trace = Trace();
    ZYNSysTraceClient::InfoPrintf(*trace, "QORHttpSession->ZYNSysSetSession (Session=<%x>)",
                                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(session.Get())));
    if (key == nullptr || !session) return TraceHttpError(trace, 0, kName, "INVALIDARG", E_INVALIDARG);
    std::unique_ptr<QORHttpSessionEntry> entry(new (std::nothrow) QORHttpSessionEntry);
    if (entry) entry->keyCopy = CopyText(key);
    if (!entry || !entry->keyCopy) return TraceHttpOutOfMemory(trace, 0, kName, "QORHttpSessionEntry");
    entry->key = entry->keyCopy.get();
    entry->keyHash = QORHttpTextHash(key);
    SessionTables* sessions = Sessions();
    if (sessions == nullptr || !sessions->tables[0].present || !sessions->tables[1].present) {
        return TraceHttpOutOfMemory(trace, 0, kName, "S_QORHttpSessionCache");
    }
    LockedTable& t = sessions->tables[which == 0 ? 0 : 1];
    QORMutexHold hold(t.mutex);
    if (t.table.Find(entry.get()) != nullptr) return TraceHttpError(trace, 0, kName, "End", E_FAIL);
    // The handle moves in only once the record is certain to be stored.
    entry->session.Reset(session.Get());
    if (t.table.Insert(entry.get()) != 1) {
        static_cast<void>(entry->session.Take());
        return TraceHttpOutOfMemory(trace, 0, kName, "S_QORHttpSessionCache");
    }
    static_cast<void>(session.Take());
    static_cast<void>(entry.release());
    return 0;
}

HINTERNET ZYNSysGetConnection(const char* host, std::uint32_t port, HINTERNET session) noexcept {
    constexpr const char* kName = "QORHttpConnection->ZYNSysGetConnection";
    ZYNSysTraceClient** trace = Trace();
    ZYNSysTraceClient::InfoPrintf(*trace, "%s", kName);
    if (host == nullptr) {
        TraceHttpError(trace, 0, kName, "INVALIDARG", E_INVALIDARG);
        return nullptr;
    }
    LockedTable* t = ConnectionTable();
    if (t == nullptr) {
        TraceHttpError(trace, 0, kName, "NO CACHE", E_FAIL);
        return nullptr;
    }
    QORHttpConnectionEntry probe;
    probe.session = session;
    probe.port = port;
    probe.hostHash = QORHttpTextHash(host);
    probe.host = host;
    HINTERNET found = nullptr;
    {
        QORMutexHold hold(t->mutex);
        const auto* entry = static_cast<const QORHttpConnectionEntry*>(t->table.Find(&probe));
        if (entry != nullptr) found = entry->connection.Get();
    }
    return found;
}

HRESULT ZYNSysSetConnection(const char* host, std::uint32_t port, HINTERNET session,
                            ZYNSysInternetHandle& connection) noexcept {
    constexpr const char* kName = "QORSysSetConnection";
    ZYNSysTraceClient** trace = Trace();
    if (host == nullptr || session == nullptr || !connection || port > 65535) {
        return TraceHttpError(trace, 0, kName, "INVALIDARG", E_INVALIDARG);
    }
    std::unique_ptr<QORHttpConnectionEntry> entry(new (std::nothrow) QORHttpConnectionEntry);
    if (entry) entry->hostCopy = CopyText(host);
    if (!entry || !entry->hostCopy) return TraceHttpOutOfMemory(trace, 0, kName, "Error alloc Connection");
    entry->host = entry->hostCopy.get();
    entry->session = session;
    entry->port = port;
    entry->hostHash = QORHttpTextHash(host);
    LockedTable* t = ConnectionTable();
    if (t == nullptr) return TraceHttpOutOfMemory(trace, 0, kName, "S_QORHttpConnectionCache");
    QORMutexHold hold(t->mutex);
    if (t->table.Find(entry.get()) != nullptr) return TraceHttpError(trace, 0, kName, "End", E_FAIL);
    entry->connection.Reset(connection.Get());
    if (t->table.Insert(entry.get()) != 1) {
        static_cast<void>(entry->connection.Take());
        return TraceHttpOutOfMemory(trace, 0, kName, "S_QORHttpConnectionCache");
    }
    static_cast<void>(connection.Take());
    static_cast<void>(entry.release());
    return 0;
}
