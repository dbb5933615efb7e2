#pragma once
// The slim reader/writer lock entry points, looked up by name in "kernel32.dll" once per process
// (older systems lack them) and called through a table.

#include <atomic>

#include "QORSysExport.h"
#include "ZYNSysWin.h"

struct ZYNSysSRWLockTable {
    void(WINAPI* initialize)(PSRWLOCK);
    void(WINAPI* acquireExclusive)(PSRWLOCK);
    void(WINAPI* releaseExclusive)(PSRWLOCK);
    BOOLEAN(WINAPI* tryAcquireExclusive)(PSRWLOCK);
    void(WINAPI* acquireShared)(PSRWLOCK);
    void(WINAPI* releaseShared)(PSRWLOCK);
    BOOLEAN(WINAPI* tryAcquireShared)(PSRWLOCK);
    BOOL(WINAPI* sleepConditionVariable)(PCONDITION_VARIABLE, PSRWLOCK, DWORD, ULONG);
};

// 0 when all eight entry points were found, E_FAIL otherwise; copies them into the table when
// one is given and the status is not negative.
QOR_SYS_API HRESULT ZYNSysLoadSRWLockAPI(ZYNSysSRWLockTable* table);

// A lock class's own copy of the entry points: its table, once-flag and cached status.
struct ZYNSysSRWLockCopy {
    ZYNSysSRWLockTable table{};
    HRESULT status = E_FAIL;
    std::atomic<bool> loaded{false};
    // Loads the table the first time, under the process-wide mutex; no thread sees the status
    // before the table is complete. The status of that load.
    HRESULT Load();
};

// Where the loader looks the names up. The default reads "kernel32.dll"; a test installs one
// that lacks a name, before the first lock of its process is made.
class ZYNSysSRWLockLookup {
public:
    virtual ~ZYNSysSRWLockLookup() = default;
    // NULL when the module or the name is missing.
    virtual FARPROC Find(const char* name) = 0;
};
void ZYNSysSetSRWLockLookup(ZYNSysSRWLockLookup* lookup);  // NULL restores the default
