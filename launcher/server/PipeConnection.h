#pragma once
// Client side of the launcher's pipes: open for writing with a bounded wait for a free
// instance, and write one message with a bounded wait for the reader.

#include <cstddef>
#include <string>
#include <string_view>

#include "ZYNSysHandle.h"

enum class PipeOpenResult { Opened, TimedOut, Failed };

// A message on the launcher's pipes (a request, a reply) is read whole up to this size; a
// larger one is refused unread, so one client cannot take the memory.
constexpr std::size_t kMaxPipeMessageBytes = 16u * 1024 * 1024;

// How long one side of an exchange (reading a whole request, writing a whole reply) may take
// before the peer is given up: a client that never writes or never reads holds no thread.
constexpr DWORD kPipeExchangeMilliseconds = 30000;

// How long a write may wait for the reader, and a free instance for a client.
constexpr DWORD kPipeWaitMilliseconds = 5000;

// Opens the pipe for writing (no sharing, overlapped). While every instance is busy, waits
// up to 5 s for one, at most busyRetries times: a stuck peer cannot hold the caller for ever.
PipeOpenResult OpenPipeForWriting(const std::wstring& name, int busyRetries, ZYNSysKernelHandle& pipe);

// One message with one write on a pipe opened for overlapped I/O (by OpenPipeForWriting, or
// towards a user extension); false on failure (the last error tells why), ERROR_TIMEOUT
// when the reader left it waiting for 5 s: a peer that stopped reading cannot hold the
// caller either.
bool WritePipeMessage(HANDLE pipe, std::string_view text);
