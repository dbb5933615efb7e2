#pragma once
// Gives the life-cycle registry's modules back to the system: FreeLibrary, unless a test
// installed another freer.

#include "ZYNSysWin.h"

class ZYNSysModuleFreer {
public:
    virtual ~ZYNSysModuleFreer() = default;
    // True when the module's reference was given back.
    virtual bool Free(HMODULE module) = 0;
};

// NULL restores FreeLibrary.
void ZYNSysSetModuleFreer(ZYNSysModuleFreer* freer);
// Through the installed freer.
bool ZYNSysFreeModule(HMODULE module);
