#pragma once
// The error-trace functions: every failure of the HTTP stack is traced and turned into its
// HRESULT here, so the stack's codes come from one place (Win32 and WinINet errors ORed with
// 0x80070000, E_OUTOFMEMORY, or a negative code of the stack's own kept as it is).
//
// Each takes the caller's trace slot (the slot or the client in it may be null: nothing is
// traced) and a flag that empties the slot after the line, for a caller whose trace ends there.
// Nothing here throws.

#include "ZYNSysWin.h"

class ZYNSysTraceClient;

// "\t<operation> (<tag> Error 0x<code>)" as an error line; the code when negative, else the code
// ORed with 0x80070000.
HRESULT TraceHttpError(ZYNSysTraceClient** trace, int closeTrace, const char* operation,
                       const char* tag, HRESULT code) noexcept;

// "\t<operation> (E_OUTOFMEMORY on <tag>)" as an error line; E_OUTOFMEMORY.
HRESULT TraceHttpOutOfMemory(ZYNSysTraceClient** trace, int closeTrace, const char* operation,
                             const char* tag) noexcept;

// The caller's format, given the code ORed with 0x80070000 as its one argument; that code.
HRESULT TraceHttpWin32Error(ZYNSysTraceClient** trace, int closeTrace, const char* format,
                            DWORD code) noexcept;

// "\t<operation> (<tag> Session 0x<value>)"; the value unchanged.
HRESULT TraceHttpResult(ZYNSysTraceClient** trace, int closeTrace, const char* operation,
                        const char* tag, HRESULT value) noexcept;
