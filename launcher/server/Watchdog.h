#pragma once
// In test mode a watchdog stops the launcher after a delay, so a test run cannot leave
// a launcher behind.

#include "ZYNSysWin.h"

// Thread function: waits ("LAUNCHER_SETUPTRQ_TIMER" seconds, 300 by default), then stops
// the server and tells the launcher service.
DWORD WINAPI EnrageTimer(void*);
