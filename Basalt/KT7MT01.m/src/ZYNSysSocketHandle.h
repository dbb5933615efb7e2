#pragma once
// Owner of a Winsock socket: closed with closesocket, INVALID_SOCKET means none.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

#include <winsock2.h>

using ZYNSysSocketTraits = ZYNSysHandleTraits<SOCKET, &::closesocket, INVALID_SOCKET>;
using ZYNSysSocket = ZYNSysHandle<ZYNSysSocketTraits>;
