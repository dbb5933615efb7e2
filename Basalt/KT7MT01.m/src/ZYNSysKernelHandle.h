#pragma once
// Kernel objects (files, pipes, events, threads, processes, tokens, jobs) and file searches.

#include "ZYNSysHandle.h"
#include "ZYNSysWin.h"

// A kernel HANDLE has two invalid values: NULL and INVALID_HANDLE_VALUE.
struct ZYNSysKernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

// FindFirstFile answers INVALID_HANDLE_VALUE when it finds nothing.
struct ZYNSysFindHandleTraits : ZYNSysKernelHandleTraits {
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};

using ZYNSysKernelHandle = ZYNSysHandle<ZYNSysKernelHandleTraits>;
using ZYNSysFindHandle = ZYNSysHandle<ZYNSysFindHandleTraits>;
