#pragma once
// Memory Terminal Services allocates for its caller (session lists); users link wtsapi32.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

#include <wtsapi32.h>

template <typename Pointer>
using ZYNSysWtsPointer = ZYNSysHandle<ZYNSysHandleTraits<Pointer, &::WTSFreeMemory>>;
