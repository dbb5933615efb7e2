#include "QORSockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "QORSocketConnector.h"
#include "QORSocketCreate.h"
#include "QORSocketRecord.h"
#include "QORSocketResolver.h"
#include "QORSocketStartup.h"
#include "QORSocketTrace.h"

using namespace QORSocketCodes;

namespace {

struct AddressListFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListFree>;

SOCKET ToSocket(int socket) { return static_cast<SOCKET>(static_cast<std::intptr_t>(socket)); }

void NotInheritable(SOCKET socket, bool traceFailure) {
    if (!::SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0) && traceFailure)
        QOR_SOCKET_TRACE("QORSockets::Connect (SetHandleInformation error %d)", static_cast<int>(::GetLastError()));
}

void CopyHost(char (&to)[256], const char* from) {
    std::snprintf(to, sizeof to, "%s", from ? from : "");
}

// The local host name, read once per process; NULL when it could not be read.
INIT_ONCE g_localNameOnce = INIT_ONCE_STATIC_INIT;
char g_localName[256];
bool g_localNameRead = false;

BOOL CALLBACK ReadLocalName(PINIT_ONCE, PVOID, PVOID*) {
    g_localNameRead = ::gethostname(g_localName, sizeof g_localName) == 0;
    return TRUE;
}

const char* LocalHostName() {
    ::InitOnceExecuteOnce(&g_localNameOnce, &ReadLocalName, nullptr, nullptr);
    return g_localNameRead ? g_localName : nullptr;
}

// Gives up one copy's hold on the record. Only the last copy closes the socket and lets the
// protocol go: an earlier close could hit a socket number that already belongs to a new
// connection.
void LetGo(QORSockets& socket, QORSocketRecord*& record) {
    if (!record) return;
    if (!record->Unshare()) {
        record = nullptr;
        return;
    }
    socket.Close();
    if (record->protocol) record->protocol->Release(1);
    delete record;
    record = nullptr;
}

}  // namespace

QORSockets::QORSockets() : QORSockets(-1, nullptr) {}

QORSockets::QORSockets(int socket, QORSocketConnector* connector) : record_(nullptr) {
    QORSocketTraceInit();
    QOR_SOCKET_TRACE("QORSockets::QORSockets (Sock=<%d>, Connector=<%x>)", socket, QORSocketTraceId(connector));
    // Owned from here, so a record that cannot be made does not leak the socket.
    ZYNSysSocket owned(ToSocket(socket));
    record_ = new (std::nothrow) QORSocketRecord;
    if (!record_) return;
    if (owned) NotInheritable(owned.Get(), false);
    record_->socket = std::move(owned);
    if (connector) {
        record_->kind = 1;
        record_->state = 0;
        record_->port = ::htons(connector->GetPort());
        record_->connector = connector;
    }
}

QORSockets::QORSockets(const QORSockets& other) : record_(ZYNSysShareRecord(other.record_)) {}

QORSockets& QORSockets::operator=(const QORSockets& other) {
    QORSocketRecord* next = ZYNSysShareRecord(other.record_);
    LetGo(*this, record_);
    record_ = next;
    return *this;
}

QORSockets::~QORSockets() { LetGo(*this, record_); }

int QORSockets::Connect(unsigned short port, const char* host) {
    QOR_SOCKET_TRACE("QORSockets::Connect (Host=<%s>, Port=<%d>)", host ? host : "NULL", port);
    QORSocketStartup();
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->socket || r->kind == 1 || r->state == 0) return kAlreadyConnected;
    const char* local = LocalHostName();
    if (!local) return kLookupFailed;
    if (host && ::_stricmp(host, local) == 0) host = nullptr;

    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    addrinfo hints{};
    hints.ai_family = r->familyHint;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int lookup = QORSocketGetResolver().Lookup(host, service, hints, &raw);
    AddressList list(raw);
    if (lookup != 0) {
        char text[160] = "";
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(lookup), 0, text, sizeof text, nullptr);
        for (std::size_t n = std::strlen(text); n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'); --n)
            text[n - 1] = '\0';
        QOR_SOCKET_TRACE("QORSockets::Connect (getaddrinfo failed <%s>)", text);
        return kLookupFailed;
    }

    ZYNSysSocket connected;
    for (const addrinfo* a = list.get(); a; a = a->ai_next) {
        ZYNSysSocket s = QORSocketCreate(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (!s) continue;
        NotInheritable(s.Get(), true);
        if (::connect(s.Get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            QOR_SOCKET_TRACE("QORSockets::Connect (connect ok)");
            connected = std::move(s);
            break;
        }
        QOR_SOCKET_TRACE("QORSockets::Connect (connect fail)");
    }
    if (!connected) return kNoConnection;

    r->socket = std::move(connected);
    r->port = ::htons(port);
    CopyHost(r->host, host ? host : local);
    r->state = 0;
    QOR_SOCKET_TRACE("QORSockets::Connect (OK)");
    return 0;
}

int QORSockets::ConnectService(const char* service, const char* host, const char* protocol) {
    QOR_SOCKET_TRACE("QORSockets::ConnectService (Service=<%s>, Host=<%s>, Proto=<%s>)", service ? service : "NULL",
                     host ? host : "NULL", protocol ? protocol : "NULL");
    if (!service) return kMissingArgument;
    QORSocketStartup();
    const servent* entry = ::getservbyname(service, protocol);
    if (!entry) return kUnknownService;
    return Connect(::ntohs(static_cast<u_short>(entry->s_port)), host);
}

int QORSockets::ConnectTo(unsigned int address, unsigned short port) {
    QOR_SOCKET_TRACE("QORSockets::ConnectTo (Addr=<%x>, Port=<%d>)", address, port);
    QORSocketStartup();
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->socket || r->kind != 2 || r->state == 0) return kAlreadyConnected;
    ZYNSysSocket s = QORSocketCreate(AF_INET, SOCK_STREAM, 0);
    if (!s) return kSocketFailed;
    NotInheritable(s.Get(), true);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = ::htons(port);
    if (::connect(s.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return kNoConnection;
    r->socket = std::move(s);
    r->port = to.sin_port;
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &to.sin_addr, text, sizeof text);
    CopyHost(r->host, text);
    r->state = 0;
    return 0;
}

int QORSockets::Close() {
    QOR_SOCKET_TRACE("QORSockets::Close ()");
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    if (r->protocol) r->protocol->NotifyClose(this, 0);
    if (!r->socket) return kNotOpen;
    r->socket.Reset();
    r->state = kNotConnected;
    r->kind = 2;
    r->headerHeld = 0;
    return 0;
}

int QORSockets::SetOptions(QORSocketOptions option) {
    QOR_SOCKET_TRACE("QORSockets::SetOptions (Option=<%d>)", static_cast<int>(option));
    QORSocketRecord* r = record_;
    if (!r) return kNoRecord;
    switch (option) {
        case QORSockOptNoDelay: {
            const BOOL on = TRUE;
            return ::setsockopt(r->socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                                sizeof on) == 0
                       ? 0
                       : kNoRecord;
        }
        // The family hints take effect, yet answer 16391 as callers of this interface expect.
        case QORSockOptIPv4:
            r->familyHint = AF_INET;
            return kShort;
        case QORSockOptIPv6:
            r->familyHint = AF_INET6;
            return kShort;
        case QORSockOptAnyFamily:
            r->familyHint = AF_UNSPEC;
            return kShort;
    }
    return kShort;
}

int QORSockets::SetProtocol(QORSocketProtocol protocol) {
    QOR_SOCKET_TRACE("QORSockets::SetProtocol (Protocol=<%d>)", static_cast<int>(protocol));
    if (!record_) return kNoRecord;
    record_->mode = 1;
    return 0;
}

int QORSockets::GetHandler() {
    QOR_SOCKET_TRACE("QORSockets::GetHandler ()");
    if (!record_ || record_->state != 0) return -1;
    return static_cast<int>(record_->socket.Get());
}

unsigned short QORSockets::GetPort() {
    QOR_SOCKET_TRACE("QORSockets::GetPort ()");
    if (!record_ || record_->state != 0) return 0xFFFF;
    return ::ntohs(record_->port);
}
