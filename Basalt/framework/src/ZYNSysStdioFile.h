#pragma once
// C runtime streams opened by the trace outputs. Each is opened with "N" (not inherited):
// programs are started inheriting handles, and a child would keep the file open, and locked,
// for its whole life.

#include <cstdio>

#include "ZYNSysHandle.h"

struct ZYNSysStdioFileTraits {
    using Type = std::FILE*;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type file) { return file != nullptr; }
    static void Close(Type file) { std::fclose(file); }
};

using ZYNSysStdioFile = ZYNSysHandle<ZYNSysStdioFileTraits>;
