#pragma once
// What the WinINet driver reads once per process: its environment variables, the computer
// name and the system policy that forbids ignoring certificate errors.

#include <cstdint>
#include <string>

struct QORHttpWDriverEnvironment {
    // "QORHTTPBufferReadSize" and "QORHTTPBufferWriteSize": 0 when unset (WinINet's own sizes).
    std::uint32_t readBufferSize = 0;
    std::uint32_t writeBufferSize = 0;
    bool readBufferSet = false;
    bool writeBufferSet = false;
    bool directConnect = false;     // "QORHTTP_DIRECT_CONNECT"
    bool disableLocalhost = false;  // "QORHttpDisableLocalhost"
    bool disableForceOnline = false;  // "DisableForceOnline"
    bool noRattrap = false;         // "ZYNSysNoRattrap"

    // Read on the first call, under the thread-safe static initialisation.
    static const QORHttpWDriverEnvironment& Get();
};

// The computer name, read once; empty when it cannot be read.
const std::string& QORHttpComputerName();

// "PreventIgnoreCertErrors" of the machine's Internet Settings policy, else the user's; read
// once, by the first driver.
bool QORHttpPreventIgnoreCertErrors();
