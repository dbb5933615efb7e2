#pragma once
// C runtime streams opened by the trace outputs.

#include <cstdio>

#include "ZYNSysHandle.h"

struct ZYNSysStdioFileTraits {
    using Type = std::FILE*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type file) { return file != nullptr; }
    static void Close(Type file) { std::fclose(file); }
};

using ZYNSysStdioFile = ZYNSysHandle<ZYNSysStdioFileTraits>;
