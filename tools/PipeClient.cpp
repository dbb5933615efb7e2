// Sends one request to a launcher pipe and prints the reply and how long it took.
//   pipe_client <pipe name> <request text | @file | STOP>
// Exit code: 0 with a reply (or after STOP), 1 on a usage error, 2 when the pipe cannot
// be opened, 3 when the exchange fails.

#include "ZYNSysWin.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
        pipe.Reset(::CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe || ::GetLastError() != ERROR_PIPE_BUSY) break;
        ::WaitNamedPipeW(argv[1], 2000);
    }
    if (!pipe) {
        std::fprintf(stderr, "pipe_client: cannot open the pipe (error %lu)\n", ::GetLastError());
        return 2;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
    DWORD written = 0;
    if (!::WriteFile(pipe.Get(), request.data(), static_cast<DWORD>(request.size()), &written, nullptr)) {
        std::fprintf(stderr, "pipe_client: write failed (error %lu)\n", ::GetLastError());
        return 3;
    }
    if (request == "STOP") {
        std::printf("STOP sent\n");
        return 0;
    }
    std::string reply;
    std::vector<char> piece(65536);
    for (;;) {
        DWORD read = 0;
        BOOL ok = ::ReadFile(pipe.Get(), piece.data(), static_cast<DWORD>(piece.size()), &read, nullptr);
        reply.append(piece.data(), read);
        if (ok) break;
        if (::GetLastError() != ERROR_MORE_DATA) {
            std::fprintf(stderr, "pipe_client: read failed (error %lu)\n", ::GetLastError());
            return 3;
        }
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    std::printf("\n");
    std::fprintf(stderr, "reply in %.2f ms\n", ms);
    return 0;
}
