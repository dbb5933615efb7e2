#pragma once
// The launcher's pipes: their bounds and security, and the client side: open for writing
// with a bounded wait for a free instance, and write one message with a bounded wait for
// the reader.

#include <cstddef>
#include <string>
#include <string_view>

#include "ZYNSysKernelHandle.h"

enum class PipeOpenResult { Opened, TimedOut, Failed };

// A message on the launcher's pipes (a request, a reply) is read whole up to this size; a
// larger one is refused unread, so one client cannot take the memory.
constexpr std::size_t kMaxPipeMessageBytes = 16u * 1024 * 1024;

// How long one side of an exchange (reading a whole request, writing a whole reply) may take
// before the peer is given up: a client that never writes or never reads holds no thread.
constexpr DWORD kPipeExchangeMilliseconds = 30000;

// How long a write may wait for the reader, and a free instance for a client.
constexpr DWORD kPipeWaitMilliseconds = 5000;

// The security of the launcher's request pipe. Interactive users may read and write it
// (0x12019b) but not create instances: an instance added under the name by another user
// would receive requests, and the tickets in them, meant for this launcher.
constexpr const char* RequestPipeSddl() {
    return "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;0x12019b;;;IU)(D;OICI;GA;;;AN)(D;OICI;GA;;;NS)(D;OICI;GA;;;NU)";
}
static_assert(((FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE) == 0x12019b);

// How the launcher opens, as a client, a pipe that a user's process serves (a user
// extension): overlapped, and the server may identify the launcher but never act as it.
constexpr DWORD UserPipeOpenFlags() { return FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION; }

// Opens the pipe for writing (no sharing, overlapped). While every instance is busy, waits
// up to 5 s for one, at most busyRetries times: a stuck peer cannot hold the caller for ever.
PipeOpenResult OpenPipeForWriting(const std::wstring& name, int busyRetries, ZYNSysKernelHandle& pipe);

// One message with one write on a pipe opened for overlapped I/O (by OpenPipeForWriting, or
// towards a user extension); false on failure (the last error tells why), ERROR_TIMEOUT
// when the reader left it waiting for 5 s: a peer that stopped reading cannot hold the
// caller either.
bool WritePipeMessage(HANDLE pipe, std::string_view text);
