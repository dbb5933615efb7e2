#include "QORSocketConnector.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "QORSocketCreate.h"
#include "QORSocketStartup.h"
#include "QORSockets.h"
#include "ZYNSysSocketHandle.h"

namespace {

constexpr int kNotDeclared = 4097;
constexpr int kDeclaring = 4098;
constexpr int kNoRecord = 4099;
constexpr int kNothingBound = 8196;
constexpr int kLookupOrListenFailed = 8197;
constexpr int kPortUnknown = 8198;
constexpr int kNothingAccepted = 8199;
constexpr int kNotListening = 8200;
constexpr int kMissingArgument = 8201;
constexpr int kUnknownService = 8202;

struct AddressListFree {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListFree>;

bool Passes(int filter, int family) {
    if (filter == 0) return family == AF_INET || family == AF_INET6;
    return family == filter;
}

// Port in network byte order.
void SetPort(sockaddr* address, unsigned short port) {
    if (address->sa_family == AF_INET) reinterpret_cast<sockaddr_in*>(address)->sin_port = port;
    if (address->sa_family == AF_INET6) reinterpret_cast<sockaddr_in6*>(address)->sin6_port = port;
}

// The port a bound socket got, in network byte order; 0 when it cannot be read.
unsigned short BoundPort(SOCKET socket) {
    sockaddr_storage address{};
    int size = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    if (address.ss_family == AF_INET) return reinterpret_cast<sockaddr_in*>(&address)->sin_port;
    if (address.ss_family == AF_INET6) return reinterpret_cast<sockaddr_in6*>(&address)->sin6_port;
    return 0;
}

}  // namespace

struct QORSocketEndpoint {
    int state = kNotDeclared;
    ZYNSysSocket listening;
    unsigned short port = 0;  // network byte order
    char host[256] = {};
    int backlog = 10;
    DWORD owner = 0;
    int family = AF_INET;
    SOCKET ready = 0;  // the listening socket the last Select found readable; 0 none
    std::unique_ptr<QORSocketEndpoint> next;

    // Listens and learns the port actually bound; the endpoint's state tells how it went.
    void Listen() {
        if (::listen(listening.Get(), backlog) != 0) {
            std::perror("QORSocketConnector::Declare : listen");
            listening.Reset();
            state = kLookupOrListenFailed;
            return;
        }
        sockaddr_storage address{};
        int size = sizeof address;
        if (::getsockname(listening.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            std::perror("QORSocketConnector::DECLARE : getsockname()");
            listening.Reset();
            state = kPortUnknown;
            return;
        }
        char service[NI_MAXSERV] = "";
        if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), size, nullptr, 0, service, sizeof service,
                          NI_NUMERICSERV) != 0) {
            std::perror("QORSocketConnector::DECLARE : getnameinfo()");
            listening.Reset();
            state = kPortUnknown;
            return;
        }
        port = ::htons(static_cast<u_short>(std::atoi(service)));
        ::gethostname(host, sizeof host);
        ::SetHandleInformation(reinterpret_cast<HANDLE>(listening.Get()), HANDLE_FLAG_INHERIT, 0);
        owner = ::GetCurrentThreadId();
        state = 0;
    }
};

QORSocketConnector::QORSocketConnector(unsigned short port, int backlog, int family)
    : endpoints_(new (std::nothrow) QORSocketEndpoint) {
    QORSocketStartup();
    if (!endpoints_) return;
    endpoints_->port = ::htons(port);
    endpoints_->backlog = backlog;
    endpoints_->family = family;
}

QORSocketConnector::~QORSocketConnector() { delete endpoints_; }

int QORSocketConnector::Declare(const char* host) {
    QORSocketEndpoint* first = endpoints_;
    if (!first) return kNoRecord;
    first->next.reset();
    first->listening.Reset();
    first->ready = 0;
    first->state = kDeclaring;

    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(::ntohs(first->port)));
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    const int lookup = ::getaddrinfo(host, service, &hints, &raw);
    AddressList list(raw);
    if (lookup != 0) {
        first->state = kLookupOrListenFailed;
        return first->state;
    }

    ZYNSysSocket bound[2];
    int count = 0;
    int lastError = 0;
    unsigned short port = first->port;
    for (addrinfo* a = list.get(); a && count < 2; a = a->ai_next) {
        if (!Passes(first->family, a->ai_family)) continue;
        ZYNSysSocket s = QORSocketCreate(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (!s) {
            lastError = ::WSAGetLastError();
            std::perror("QORSocketConnector::Declare : socket");
            continue;
        }
        const int off = 0;
        if (::setsockopt(s.Get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&off), sizeof off) != 0) {
            lastError = ::WSAGetLastError();
            std::perror("QORSocketConnector::Declare : setsockopt");
            continue;
        }
        SetPort(a->ai_addr, port);
        if (::bind(s.Get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            lastError = ::WSAGetLastError();
            continue;
        }
        // One port for both families: with port 0 each bind would get an ephemeral port of its
        // own, and GetPort could name only the first.
        if (port == 0) port = BoundPort(s.Get());
        bound[count++] = std::move(s);
    }
    if (count == 0) {
        std::fprintf(stderr, "QORSocketConnector::Declare : no address bound (socket error %d)\n", lastError);
        std::perror("QORSocketConnector::Declare : bind");
        first->state = kNothingBound;
        return first->state;
    }

    first->listening = std::move(bound[0]);
    if (count == 2) {
        first->next.reset(new (std::nothrow) QORSocketEndpoint);
        if (first->next) {
            first->next->port = port;
            first->next->backlog = first->backlog;
            first->next->family = first->family;
            first->next->listening = std::move(bound[1]);
        }
    }
    for (QORSocketEndpoint* e = first; e; e = e->next.get()) e->Listen();
    // A second endpoint that cannot listen would only be skipped by every later call.
    if (first->next && first->next->state != 0) first->next.reset();
    return first->state;
}

int QORSocketConnector::DeclareAs(const char* service, unsigned short* port, int declareNow, const char* protocol) {
    if (!service) return kMissingArgument;
    const servent* entry = ::getservbyname(service, protocol);
    if (!entry) return kUnknownService;
    const unsigned short wirePort = static_cast<unsigned short>(entry->s_port);
    if (port) *port = ::ntohs(wirePort);
    if (!endpoints_) return kNoRecord;
    endpoints_->port = wirePort;
    return declareNow ? Declare(nullptr) : 0;
}

int QORSocketConnector::Select(int* timeoutMs) {
    QORSocketEndpoint* first = endpoints_;
    if (!first) return kNoRecord;
    if (first->state != 0) return kNotListening;
    fd_set readable;
    FD_ZERO(&readable);
    for (QORSocketEndpoint* e = first; e; e = e->next.get())
        if (e->state == 0) FD_SET(e->listening.Get(), &readable);
    timeval limit{};
    if (timeoutMs) limit = timeval{*timeoutMs / 1000, (*timeoutMs % 1000) * 1000};
    const int ready = ::select(0, &readable, nullptr, nullptr, timeoutMs ? &limit : nullptr);
    if (ready > 0) {
        for (QORSocketEndpoint* e = first; e; e = e->next.get())
            if (e->state == 0 && FD_ISSET(e->listening.Get(), &readable)) first->ready = e->listening.Get();
    }
    return ready;
}

int QORSocketConnector::Accept(QORSockets** accepted) {
    QORSocketEndpoint* first = endpoints_;
    if (!first) return kNoRecord;
    if (!accepted) return kMissingArgument;
    *accepted = nullptr;
    if (first->state != 0) return kNotListening;
    if (first->ready == 0 && Select(nullptr) < 1) return kNothingAccepted;
    // Cleared first: after a failed accept the next call selects again over every endpoint.
    const SOCKET ready = first->ready;
    first->ready = 0;
    ZYNSysSocket connection(::accept(ready, nullptr, nullptr));
    if (!connection) return kNothingAccepted;
    // The socket is handed over only once the object exists; until then its owner closes it.
    QORSockets* socket = new (std::nothrow) QORSockets(static_cast<int>(connection.Take()), this);
    if (!socket) return kNothingAccepted;
    *accepted = socket;
    return 0;
}

int QORSocketConnector::GetHandler() {
    QORSocketEndpoint* first = endpoints_;
    if (!first) return -1;
    if (first->ready) return static_cast<int>(first->ready);
    if (first->family == 0 && first->next)
        return static_cast<int>(std::max(first->listening.Get(), first->next->listening.Get()));
    if (first->state == 0) return static_cast<int>(first->listening.Get());
    return -1;
}

unsigned short QORSocketConnector::GetPort() { return endpoints_ ? ::ntohs(endpoints_->port) : 0xFFFF; }
