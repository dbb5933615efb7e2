#pragma once
// Client side of the launcher's pipes: open for writing with a bounded wait for a free
// instance, and write one message.

#include <string>
#include <string_view>

#include "ZYNSysHandle.h"

enum class PipeOpenResult { Opened, TimedOut, Failed };

// Opens the pipe for writing (no sharing). While every instance is busy, waits up to 5 s
// for one, at most busyRetries times: a stuck peer cannot hold the caller for ever.
PipeOpenResult OpenPipeForWriting(const std::wstring& name, int busyRetries, ZYNSysKernelHandle& pipe);

// One message with one write; false on failure (the last error tells why).
bool WritePipeMessage(HANDLE pipe, std::string_view text);
