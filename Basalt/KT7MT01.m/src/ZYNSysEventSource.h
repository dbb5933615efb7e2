#pragma once
// A registered event-log source (RegisterEventSource); users link advapi32.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

using ZYNSysEventSourceTraits = ZYNSysHandleTraits<HANDLE, &::DeregisterEventSource>;
using ZYNSysEventSource = ZYNSysHandle<ZYNSysEventSourceTraits>;
