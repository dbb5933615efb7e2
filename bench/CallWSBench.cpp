// "CallWS" through the real launcher in run mode (LOGLEVEL info): median latency of 200 GETs of a
// URL without a ticket, of 200 with a ticket whose authentication service is resolved once and
// then cached, and of 200 "checkFile" requests to the same launcher, measured interleaved; then
// the time of 16 ticketed calls sent at once, each with a ticket of its own (median of 10 rounds),
// and the same against a service that answers after 250 ms, with tickets of their own and with
// one ticket shared by the 16 (goal: shared at most 0.5x own; calls of one ticket share its turn).
//   callws_bench NOAUTH_URL TICKET_URL [LAUNCHER_EXE]
// bench/callws_bench.sh starts the local HTTP server, runs this and curl beside it.
#include "ZYNSysWin.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "PipeConnection.h"
#include "ZYNSysKernelHandle.h"

#ifndef LAUNCHER_FROM_BENCH
#define LAUNCHER_FROM_BENCH "..\\launcher\\server\\VarometLauncherGUI.exe"
#endif

namespace {

constexpr int kRequests = 200;
constexpr int kConcurrentCalls = 16;
constexpr int kConcurrentRounds = 10;
// The slow service's answer time, as the test server's delay knob: long enough for waiting to show.
constexpr const char* kSlowKnob = "&delay=250";

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\'));
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

ZYNSysKernelHandle OpenPipe(const std::wstring& pipeName) {
    // Between two instances of the server, and while the launcher starts, the name is missing;
    // a concurrent client may take the instance waited for.
    ZYNSysKernelHandle pipe;
    for (int tries = 0; !pipe && tries < 5000; ++tries) {
        if (!::WaitNamedPipeW(pipeName.c_str(), 5000)) {
            ::Sleep(1);
            continue;
        }
        pipe.Reset(::CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr));
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe) ::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
    return pipe;
}

// One request: open, write, read the whole reply.
bool Exchange(const std::wstring& pipeName, const std::string& request, std::string& reply) {
    const ZYNSysKernelHandle pipe = OpenPipe(pipeName);
    if (!pipe) return false;
    const PipeWait wait{.deadline = PipeDeadline::In(kPipeExchangeMilliseconds)};
    return WritePipeMessage(pipe.Get(), request, wait).end == PipeEnd::Done &&
           ReadPipeMessage(pipe.Get(), reply, wait).end == PipeEnd::Done;
}

struct Series {
    const char* name;
    std::vector<double> times;
    double Median() {
        std::sort(times.begin(), times.end());
        return times.empty() ? 0 : times[times.size() / 2];
    }
};

int Run(const std::wstring& launcher, const std::wstring& folder, const std::string& noAuthUrl,
        const std::string& ticketUrl) {
    const std::wstring conf = folder + L"\\launcher.conf";
    std::ofstream(std::filesystem::path(conf)) << "LOGLEVEL=info\n";
    ::SetEnvironmentVariableW(L"WEX_TRQ_TMP", folder.c_str());
    ::SetEnvironmentVariableW(L"TrqConfPath", conf.c_str());
    // The launcher's watchdog ends it should this benchmark die first.
    ::SetEnvironmentVariableW(L"LAUNCHER_SETUPTRQ_TIMER", L"300");
    const std::wstring pipeName = L"\\\\.\\pipe\\callws-bench-" + std::to_wstring(::GetCurrentProcessId());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ZYNSysKernelHandle output(::CreateFileW((folder + L"\\launcher-output.txt").c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.Get();
    startup.hStdError = output.Get();
    std::wstring line = L"\"" + launcher + L"\" run " + pipeName;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(launcher.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                          &started)) {
        std::fprintf(stderr, "callws_bench: the launcher did not start (%lu)\n", ::GetLastError());
        return 2;
    }
    ZYNSysKernelHandle process(started.hProcess);
    ZYNSysKernelHandle thread(started.hThread);

    const std::string cinfo =
        R"({"cId": "bench", "cCas": "TGT-31415-callwsbench", "cAuthWsUrl": "", "pVersion": "2.1"})";
    const std::string noAuth = R"({"op": "run", "args": {"action": "CallWS", "url": )" + Quoted(noAuthUrl) +
                               R"(, "arg": "", "noAuth": true}})";
    const std::string ticket = R"({"cinfo": )" + cinfo + R"(, "op": "run", "args": {"action": "CallWS", "url": )" +
                               Quoted(ticketUrl) + R"(, "arg": ""}})";
    const std::string checkFile = R"({"op": "run", "args": {"action": "checkFile", "path": )" +
                                  Quoted(std::filesystem::path(conf).string()) + "}}";
    Series series[] = {{"CallWS noAuth", {}}, {"CallWS ticket", {}}, {"checkFile", {}}};
    const std::string* requests[] = {&noAuth, &ticket, &checkFile};
    int failures = 0;
    std::string reply;
    // The first ticketed call resolves the authentication service; the rest find it cached.
    if (!Exchange(pipeName, ticket, reply) || reply.rfind("{\"rc\": 0", 0) != 0) ++failures;
    for (int i = 0; i < kRequests; ++i) {
        for (int k = 0; k < 3; ++k) {
            const auto start = std::chrono::steady_clock::now();
            const bool ok = Exchange(pipeName, *requests[k], reply) && reply.rfind("{\"rc\": 0", 0) == 0;
            series[k].times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            if (!ok && ++failures == 1) std::fprintf(stderr, "callws_bench: %s: %s\n", series[k].name, reply.c_str());
        }
    }
    // 16 ticketed calls at once per round, each with a ticket of its own or all with one.
    const auto concurrentRounds = [&](const char* name, const std::string& request, bool ownTickets) {
        Series rounds{name, {}};
        for (int round = 0; round < kConcurrentRounds; ++round) {
            std::vector<std::future<bool>> calls;
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < kConcurrentCalls; ++i) {
                std::string own = request;
                if (ownTickets) {
                    own.replace(own.find("TGT-31415"), 9, "TGT-" + std::to_string(round * kConcurrentCalls + i));
                }
                calls.push_back(std::async(std::launch::async, [&pipeName, own] {
                    std::string answer;
                    const bool ok = Exchange(pipeName, own, answer) && answer.rfind("{\"rc\": 0", 0) == 0;
                    if (!ok) std::fprintf(stderr, "callws_bench: concurrent: %s\n", answer.c_str());
                    return ok;
                }));
            }
            for (std::future<bool>& call : calls) failures += call.get() ? 0 : 1;
            rounds.times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        return rounds;
    };
    Series fast = concurrentRounds("16 concurrent CallWS, own tickets", ticket, true);
    std::string slowTicket = ticket;
    slowTicket.replace(slowTicket.find(ticketUrl), ticketUrl.size(), ticketUrl + kSlowKnob);
    // The slow URL's authentication service is resolved before the rounds time anything.
    if (!Exchange(pipeName, slowTicket, reply) || reply.rfind("{\"rc\": 0", 0) != 0) ++failures;
    Series slowOwn = concurrentRounds("16 concurrent CallWS, own tickets, 250 ms service", slowTicket, true);
    Series slowShared = concurrentRounds("16 concurrent CallWS, one ticket, 250 ms service", slowTicket, false);
    if (const ZYNSysKernelHandle pipe = OpenPipe(pipeName)) {
        WritePipeMessage(pipe.Get(), "STOP", PipeWait{.deadline = PipeDeadline::In(kPipeExchangeMilliseconds)});
    }
    if (::WaitForSingleObject(process.Get(), 15000) != WAIT_OBJECT_0) ::TerminateProcess(process.Get(), 1);
    if (failures != 0) {
        std::fprintf(stderr, "callws_bench: %d requests failed\n", failures);
        return 3;
    }
    std::printf("%d requests of each kind, interleaved\n", kRequests);
    for (Series& s : series) std::printf("%s median %.3f ms\n", s.name, s.Median());
    for (Series* s : {&fast, &slowOwn, &slowShared}) {
        std::printf("%s median %.3f ms per round of %d\n", s->name, s->Median(), kConcurrentCalls);
    }
    std::printf("one ticket / own tickets, 250 ms service: %.2f (goal <= 0.5)\n",
                slowOwn.Median() > 0 ? slowShared.Median() / slowOwn.Median() : 0.0);
    const double noAuthMedian = series[0].Median(), ticketMedian = series[1].Median(), fileMedian = series[2].Median();
    std::printf("noAuth / checkFile: %.2f (goal <= 1.5); ticket / noAuth: %.2f (goal <= 1.5)\n",
                fileMedian > 0 ? noAuthMedian / fileMedian : 0.0, noAuthMedian > 0 ? ticketMedian / noAuthMedian : 0.0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: callws_bench NOAUTH_URL TICKET_URL [LAUNCHER_EXE]\n");
        return 2;
    }
    const std::wstring here = ExecutableFolder();
    std::wstring launcher = argc > 3 ? argv[3] : here + L"\\" + Widen(LAUNCHER_FROM_BENCH);
    std::replace(launcher.begin(), launcher.end(), L'/', L'\\');
    const std::wstring folder = here + L"\\callws-bench-" + std::to_wstring(::GetCurrentProcessId());
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    int code = 2;
    try {
        std::string noAuthUrl, ticketUrl;
        for (const wchar_t c : std::wstring(argv[1])) noAuthUrl.push_back(static_cast<char>(c));
        for (const wchar_t c : std::wstring(argv[2])) ticketUrl.push_back(static_cast<char>(c));
        code = Run(launcher, folder, noAuthUrl, ticketUrl);
    } catch (const std::exception& exception) {
        std::fprintf(stderr, "callws_bench: %s\n", exception.what());
    }
    std::filesystem::remove_all(folder, error);
    return code;
}
