#pragma once
// Loaded modules: each owner holds one reference, given back with FreeLibrary.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

using ZYNSysModuleHandleTraits = ZYNSysHandleTraits<HMODULE, &::FreeLibrary>;
using ZYNSysModuleHandle = ZYNSysHandle<ZYNSysModuleHandleTraits>;
