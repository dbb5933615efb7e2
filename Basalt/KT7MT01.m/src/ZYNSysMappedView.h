#pragma once
// Views of file mappings: unmapped, not closed.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

struct ZYNSysMappedViewTraits {
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type view) { return view != nullptr; }
    static void Close(Type view) { ::UnmapViewOfFile(view); }
};

using ZYNSysMappedView = ZYNSysHandle<ZYNSysMappedViewTraits>;
