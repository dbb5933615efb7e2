// Sends one request to a launcher pipe and prints the reply and how long it took.
//   pipe_client <pipe name> <request text | @file | STOP>
// Exit code: 0 with a reply (or after STOP), 1 on a usage error, 2 when the pipe cannot
// be opened, 3 when the exchange fails. The request is written within the launcher's exchange
// time; the reply, which comes when its operation is done, is waited for without limit (Ctrl+C
// ends the wait) but read only up to the launcher's message bound.

#include "ZYNSysWin.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "PipeConnection.h"
#include "ZYNSysKernelHandle.h"

namespace {

std::string Utf8(const wchar_t* text) {
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<std::size_t>(bytes - 1) : 0, '\0');
    if (bytes > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    return out;
}

bool ReadRequest(const wchar_t* argument, std::string& request) {
    if (argument[0] != L'@') {
        request = Utf8(argument);
        return true;
    }
    std::ifstream file(argument + 1, std::ios::binary);
    if (!file) return false;
    request.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

std::string Why(const PipeResult& result) {
    if (result.tooLarge) return "reply larger than " + std::to_string(kMaxPipeMessageBytes) + " bytes";
    if (result.end == PipeEnd::TimedOut) return "no reader within " + std::to_string(kPipeExchangeMilliseconds) + " ms";
    return "error " + std::to_string(result.error);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pipe_client <pipe name> <request text | @file | STOP>\n");
        return 1;
    }
    std::string request;
    if (!ReadRequest(argv[2], request)) {
        std::fprintf(stderr, "pipe_client: cannot read %s\n", Utf8(argv[2] + 1).c_str());
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    ZYNSysKernelHandle pipe;
    for (int tries = 0; tries < 50; ++tries) {
        pipe.Reset(::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe || ::GetLastError() != ERROR_PIPE_BUSY) break;
        ::WaitNamedPipeW(argv[1], 2000);
    }
    if (!pipe) {
        std::fprintf(stderr, "pipe_client: cannot open the pipe (error %lu)\n", ::GetLastError());
        return 2;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
    const PipeResult sent =
        WritePipeMessage(pipe.Get(), request, PipeWait{.deadline = PipeDeadline::In(kPipeExchangeMilliseconds)});
    if (sent.end != PipeEnd::Done) {
        std::fprintf(stderr, "pipe_client: write failed (%s)\n", Why(sent).c_str());
        return 3;
    }
    if (request == "STOP") {
        std::printf("STOP sent\n");
        return 0;
    }
    std::string reply;
    const PipeResult read = ReadPipeMessage(pipe.Get(), reply, PipeWait{});
    if (read.end != PipeEnd::Done) {
        std::fprintf(stderr, "pipe_client: read failed (%s)\n", Why(read).c_str());
        return 3;
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    std::printf("\n");
    std::fprintf(stderr, "reply in %.2f ms\n", ms);
    return 0;
}
