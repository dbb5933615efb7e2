#pragma once
// The launcher's pipes: their bounds and security, the client side's opening, and the one way
// to read or write a whole message: within a deadline, a stop order or both, and a read within
// a size bound. The server, the user extensions, the tool, the benchmarks and the test doubles
// all exchange their messages through it.

#include <atomic>
#include <cstddef>
#include <cstdint>
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

// The security of the launcher's request pipe. Interactive users keep all access: creating an
// instance is the same right as appending (0x4), which GENERIC_WRITE asks for, so a grant
// without it would refuse every ordinary client, and a user extension its own next instance.
constexpr const char* RequestPipeSddl() {
    return "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GA;;;IU)(D;OICI;GA;;;AN)(D;OICI;GA;;;NS)(D;OICI;GA;;;NU)";
}
static_assert(FILE_CREATE_PIPE_INSTANCE == FILE_APPEND_DATA && (FILE_GENERIC_WRITE & FILE_APPEND_DATA) != 0);

// How the launcher's servers make their pipe instances: messages, and no client of another
// machine. The descriptor's denials follow its grants, and access is granted on the first
// entries that cover it: an administrator connecting from afar would pass before the denial
// of network logons is read.
constexpr DWORD ServerPipeMode() {
    return PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
}

// How the launcher opens a pipe as a client: overlapped, and the server may identify the
// launcher but never act as it. A user extension is a user's process, and the service's
// name can be taken by any process while the service is not running.
constexpr DWORD ClientPipeOpenFlags() { return FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION; }

// Opens the pipe for writing (no sharing, overlapped). While every instance is busy, waits
// up to 5 s for one, at most busyRetries times: a stuck peer cannot hold the caller for ever.
PipeOpenResult OpenPipeForWriting(const std::wstring& name, int busyRetries, ZYNSysKernelHandle& pipe);

// The end of a read or a write: a number of milliseconds after it was set, or never.
class PipeDeadline {
public:
    static PipeDeadline In(std::uint64_t milliseconds);
    static PipeDeadline Never() { return PipeDeadline(); }
    // The time left, 0 once passed; INFINITE for never.
    DWORD Left() const;
    bool Passed() const;

private:
    PipeDeadline() = default;
    bool never_ = true;
    std::uint64_t end_ = 0;
};

// What ends the wait for a read or a write besides its completion. An operation given up is
// cancelled and waited for, since its OVERLAPPED lives in the caller's frame.
struct PipeWait {
    PipeDeadline deadline = PipeDeadline::Never();
    HANDLE stopEvent = nullptr;                   // given up once it is signalled
    const std::atomic<bool>* stopFlag = nullptr;  // given up once it is raised (looked at every 100 ms)
    HANDLE ioEvent = nullptr;                     // a manual-reset event; without one each call makes its own
};

enum class PipeEnd { Done, Failed, TimedOut, Stopped };

struct PipeResult {
    PipeEnd end = PipeEnd::Done;
    DWORD error = ERROR_SUCCESS;  // the system's error, when Failed
    bool tooLarge = false;        // a read: the message passed its bound, and none of it was kept
};

// What a read does with a message larger than its bound: stop at once (Failed with
// ERROR_MESSAGE_EXCEEDS_MAX_SIZE), or read it to its end without keeping it, so that the
// writer's write completes and the end of the read is that of the whole message.
enum class PipeOverflow { Refuse, Drain };

// Reads one whole message, in pieces of 4096 bytes, from a pipe in message read mode opened
// for overlapped I/O. The message is whole only when the read is Done without tooLarge.
PipeResult ReadPipeMessage(HANDLE pipe, std::string& message, const PipeWait& wait,
                           PipeOverflow overflow = PipeOverflow::Refuse, std::size_t bound = kMaxPipeMessageBytes);

// Writes the text as one message with one write on a pipe opened for overlapped I/O, and waits
// until the write is complete (the reader has taken what did not fit in the pipe).
PipeResult WritePipeMessage(HANDLE pipe, std::string_view text, const PipeWait& wait);

// The same with a wait of 5 s; false on failure (the last error tells why), ERROR_TIMEOUT when
// the reader left it waiting: a peer that stopped reading cannot hold the caller either.
bool WritePipeMessage(HANDLE pipe, std::string_view text);
