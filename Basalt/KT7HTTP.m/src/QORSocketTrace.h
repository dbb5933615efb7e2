#pragma once
// The sockets' trace: one line on standard output per operation while the environment
// variable "QORSocketTrace" is set. The variable is read once, when the first QORSockets is made.

#include <cstdint>

// Reads the switch the first time; later calls return at once.
void QORSocketTraceInit();
bool QORSocketTraceOn() noexcept;
// Writes the local time, the thread id and the message (cut at 199 characters).
void QORSocketTrace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// A pointer for the lines' "%x" fields.
inline unsigned QORSocketTraceId(const void* p) noexcept {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

// Formats only while tracing is on.
#define QOR_SOCKET_TRACE(...)                          \
    do {                                               \
        if (QORSocketTraceOn()) QORSocketTrace(__VA_ARGS__); \
    } while (0)
