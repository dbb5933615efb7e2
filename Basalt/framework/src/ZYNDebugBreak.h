#pragma once
// Stops in an attached debugger on an internal failure, when the environment allows it.

#include "QORSysExport.h"

// Kind 1 (consistency failures) breaks unless "ZYNDebugBreakOff" is set; any other kind (a
// module that fails to load) only when "ZYNDebugBreakOn" is set. Both are read once per process.
// Without a debugger it returns.
QOR_SYS_API void ZYNDebugBreak(int kind);
