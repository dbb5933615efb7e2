#pragma once
// Makes the system threads of thread objects: CreateThread with default security and stack size,
// unless a test installed another starter.

#include "ZYNSysWin.h"

class ZYNSysThreadStarter {
public:
    virtual ~ZYNSysThreadStarter() = default;
    // The new thread's handle, NULL on failure.
    virtual HANDLE Start(LPTHREAD_START_ROUTINE entry, void* argument, DWORD flags, DWORD* id) = 0;
};

// NULL restores CreateThread.
void ZYNSysSetThreadStarter(ZYNSysThreadStarter* starter);
// Through the installed starter.
HANDLE ZYNSysStartThread(LPTHREAD_START_ROUTINE entry, void* argument, DWORD flags, DWORD* id);
