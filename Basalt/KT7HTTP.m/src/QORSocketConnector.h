#pragma once
// A listening TCP endpoint, IPv4 and IPv6 at once with family filter 0, that accepts
// connections as QORSockets. Operations answer result codes and never throw; failures of a
// declaration are also reported on standard error.

#include "QORSysExport.h"

class QORSockets;
struct QORSocketEndpoint;

class QOR_SYS_API QORSocketConnector {
public:
    // Port in host order (0 = any free port); family filter 0 both families, 2 IPv4, 23 IPv6.
    explicit QORSocketConnector(unsigned short port = 0, int backlog = 10, int family = 2);
    ~QORSocketConnector();
    QORSocketConnector(const QORSocketConnector&) = delete;
    QORSocketConnector& operator=(const QORSocketConnector&) = delete;

    // Binds every address of host (NULL = any) that passes the filter, at most two, on one port.
    int Declare(const char* host);
    // The port of a service name; *port (host order) when given; declares at once when
    // declareNow is not 0.
    int DeclareAs(const char* service, unsigned short* port, int declareNow, const char* protocol);
    // NULL waits without limit; answers select's result.
    int Select(int* timeoutMs);
    // *accepted receives a new connection, which the caller deletes.
    int Accept(QORSockets** accepted);
    int GetHandler();
    unsigned short GetPort();

private:
    QORSocketEndpoint* endpoints_;
};
