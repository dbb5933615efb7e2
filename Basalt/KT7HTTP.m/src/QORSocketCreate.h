#pragma once
// Where the stack makes its sockets: non-inheritable from the first moment. Cleared only
// afterwards, the flag leaves a window in which a process started with inheritance on (as
// Execute starts its commands) takes the socket and keeps the connection open.

#include <winsock2.h>

#include "ZYNSysSocketHandle.h"

// socket()'s sockets (overlapped, so time-outs apply), made non-inheritable; nothing owned on
// failure, with WSAGetLastError telling why.
ZYNSysSocket QORSocketCreate(int family, int type, int protocol);

// Shown every socket QORSocketCreate made, before its caller gets it. None but a test's.
class QORSocketCreationWatch {
public:
    virtual ~QORSocketCreationWatch() = default;
    virtual void Created(SOCKET socket) = 0;
};

// Installs a watch for the whole process (null: none); answers the one installed before.
QORSocketCreationWatch* QORSocketSetCreationWatch(QORSocketCreationWatch* watch);
