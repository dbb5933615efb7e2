#pragma once
// The synchronisation trace hook. Operations call it only while the process-wide trace word
// exists and is not 0; nothing sets the word, so tracing stays off.

#include "QORSysExport.h"

// Allocates a new trace word set to 0 and makes it the process-wide one.
QOR_SYS_API void QORSysMTTraceInit();
// Accepts a printf-style line and discards it.
QOR_SYS_API void QORSysMTTrace(const char* format, ...);

// True while tracing is on.
bool ZYNSysMTTraceOn() noexcept;
// For the trace lines' "0x%x" fields.
inline unsigned ZYNSysMTTraceId(const void* p) noexcept {
    return static_cast<unsigned>(reinterpret_cast<unsigned long long>(p));
}
