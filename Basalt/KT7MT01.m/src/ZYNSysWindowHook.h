#pragma once
// A windows hook (SetWindowsHookEx); users link user32.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

using ZYNSysWindowHookTraits = ZYNSysHandleTraits<HHOOK, &::UnhookWindowsHookEx>;
using ZYNSysWindowHook = ZYNSysHandle<ZYNSysWindowHookTraits>;
