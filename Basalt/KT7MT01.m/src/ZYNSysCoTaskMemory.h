#pragma once
// Memory a COM or shell call allocates for its caller (CoTaskMemAlloc); users link ole32.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

#include <objbase.h>

template <typename Pointer>
using ZYNSysCoTaskPointer = ZYNSysHandle<ZYNSysHandleTraits<Pointer, &::CoTaskMemFree>>;
