#include "QORSocketStartup.h"

#include <winsock2.h>

#include "QORSysMTTrace.h"
#include "ZYNSysWin.h"

namespace {

INIT_ONCE g_startup = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK StartOnce(PINIT_ONCE, PVOID, PVOID*) {
    // Never cleaned up: other modules share the process's Winsock until it ends.
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 0), &data);
    QORSysMTTraceInit();
    return TRUE;
}

}  // namespace

void QORSocketStartup() { ::InitOnceExecuteOnce(&g_startup, &StartOnce, nullptr, nullptr); }
