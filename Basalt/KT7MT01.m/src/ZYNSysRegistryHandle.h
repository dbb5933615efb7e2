#pragma once
// Registry keys; users link advapi32.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

using ZYNSysRegKeyTraits = ZYNSysHandleTraits<HKEY, &::RegCloseKey>;
using ZYNSysRegKey = ZYNSysHandle<ZYNSysRegKeyTraits>;
