#pragma once
// Memory the system allocates for its caller with LocalAlloc (FormatMessage's text, an
// argument vector, a converted security descriptor).

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

// Typed as the call hands it out, so the owner's slot can be passed as the out-parameter.
template <typename Pointer>
using ZYNSysLocalPointer = ZYNSysHandle<ZYNSysHandleTraits<Pointer, &::LocalFree>>;

using ZYNSysLocalMemoryTraits = ZYNSysHandleTraits<HLOCAL, &::LocalFree>;
using ZYNSysLocalMemory = ZYNSysHandle<ZYNSysLocalMemoryTraits>;
