#pragma once
// The name lookup through which QORSockets::Connect finds a host's addresses. Tests install
// their own to see the exact host text a connection asks for.

#include <winsock2.h>
#include <ws2tcpip.h>

class QORSocketResolver {
public:
    virtual ~QORSocketResolver() = default;
    // getaddrinfo's contract: 0 with *list set to what freeaddrinfo releases, else its error.
    virtual int Lookup(const char* host, const char* service, const addrinfo& hints, addrinfo** list) = 0;
};

// Installs a resolver for the whole process (null restores the real one); answers the one
// installed before (null: the real one).
QORSocketResolver* QORSocketSetResolver(QORSocketResolver* resolver);
QORSocketResolver& QORSocketGetResolver();
