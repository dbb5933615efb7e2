// "mkdir" through a user extension: the real launcher started as this process's extension
// (test mode), 100 requests forwarded by Operations::AsUser::MakeFolderAsUser, beside the
// same request written straight to the extension's pipe and the local operation, measured
// interleaved in the same run. A forwarded request far above the direct one means a wait
// crept into the forwarding.
//   extension_bench [LAUNCHER_EXE]
// The launcher's data and logs go to a folder next to this exe, removed at the end.
#include "ZYNSysWin.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Config.h"
#include "DaemonVersion.h"
#include "Json.h"
#include "LogSink.h"
#include "OperationsAsUser.h"
#include "OperationsLocal.h"
#include "OrdanaRequestInfo.h"
#include "PipeConnection.h"
#include "SessionEnumerator.h"
#include "SharedData.h"
#include "ToolBox.h"
#include "UserExtension.h"
#include "ZYNSysKernelHandle.h"

#ifndef LAUNCHER_FROM_BENCH
#define LAUNCHER_FROM_BENCH "..\\launcher\\server\\VarometLauncherGUI.exe"
#endif

namespace {

constexpr int kRequests = 100;

// The benchmark's own log lines would measure the console, not the forwarding.
class QuietSink final : public LogSink {
public:
    void Log(int, std::string_view) override {}
    void LogDeferred(std::string_view, int) override {}
    void ThrowEvent(int, std::string_view, std::uint16_t) override {}
};

class ThisSession final : public SessionEnumerator {
public:
    bool Enumerate(std::vector<SessionInfo>& sessions) override {
        DWORD id = 0;
        ::ProcessIdToSessionId(::GetCurrentProcessId(), &id);
        sessions.push_back(SessionInfo{id, 0, "Console", true});
        return true;
    }
};

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\'));
}

double Milliseconds(const std::function<bool()>& call, bool& ok, const char* name) {
    const auto start = std::chrono::steady_clock::now();
    if (!call()) {
        std::fprintf(stderr, "extension_bench: a %s request failed\n", name);
        ok = false;
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Series {
    const char* name;
    std::vector<double> times;
    double Median() {
        std::sort(times.begin(), times.end());
        return times.empty() ? 0 : times[times.size() / 2];
    }
    double Max() const { return times.empty() ? 0 : *std::max_element(times.begin(), times.end()); }
};

// One request written straight to the pipe: open, write, read the reply, close.
bool DirectRequest(const std::wstring& pipeName, const std::string& request) {
    // Between two instances of the server the name briefly does not exist.
    int tries = 0;
    while (!::WaitNamedPipeW(pipeName.c_str(), 5000)) {
        if (++tries == 100) return false;
        ::Sleep(1);
    }
    ZYNSysKernelHandle pipe(::CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OVERLAPPED, nullptr));
    if (!pipe) return false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
    const PipeWait wait{.deadline = PipeDeadline::In(kPipeExchangeMilliseconds)};
    std::string reply;
    return WritePipeMessage(pipe.Get(), request, wait).end == PipeEnd::Done &&
           ReadPipeMessage(pipe.Get(), reply, wait).end == PipeEnd::Done &&
           reply.find("\"rc\": 0") != std::string::npos;
}

int Run(const std::wstring& launcher, const std::wstring& folder) {
    const std::string base = ToolBox::WideToUtf8(folder);
    ToolBox::SetEnv("WEX_TRQ_TMP", base);
    // The launcher's watchdog ends it should this benchmark die first.
    ToolBox::SetEnv("LAUNCHER_SETUPTRQ_TIMER", "120");
    ToolBox::SetEnv("TRQ_LAUNCHER_GUIEXE_PATH", ToolBox::WideToUtf8(launcher));
    Config::Init(base + "\\no-launcher.conf");
    Config::ActivateOption(ConfigOption::TEST_MODE);
    // Outside a service no session token is given: start it as this user.
    Config::ActivateOption(ConfigOption::IGNORE_TOKEN_ERROR);

    const OrdanaRequestInfo info("extension-bench", "", "", "", "", DaemonVersion(2, 1));
    // The extension inherits this process's standard handles: its log echo goes to a file.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ZYNSysKernelHandle output(::CreateFileW((folder + L"\\launcher-output.txt").c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));
    const HANDLE oldOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE oldError = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, output.Get());
    ::SetStdHandle(STD_ERROR_HANDLE, output.Get());
    bool created = false;
    const std::uint32_t first = Operations::AsUser::MakeFolderAsUser(info, base + "\\warm-up", created);
    ::SetStdHandle(STD_OUTPUT_HANDLE, oldOutput);
    ::SetStdHandle(STD_ERROR_HANDLE, oldError);
    std::shared_ptr<UserExtension> extension = SharedData::GetExtension(info);
    if (first != 0 || !created || !extension) {
        std::fprintf(stderr, "extension_bench: the extension does not answer (code %u)\n", first);
        return 2;
    }
    const std::wstring pipeName = ToolBox::Utf8ToWide(extension->PipeName());
    const std::string cinfo = info.toJSON()->Dump();

    Series forwarded{"forwarded", {}}, direct{"direct", {}}, local{"local", {}};
    bool ok = true;
    for (int i = 0; i < kRequests; ++i) {
        const std::string n = std::to_string(i);
        forwarded.times.push_back(Milliseconds(
            [&] {
                bool made = false;
                return Operations::AsUser::MakeFolderAsUser(info, base + "\\forwarded\\" + n, made) == 0 && made;
            },
            ok, "forwarded"));
        JSON::ValuePtr path = JSON::MakeString(base + "\\direct\\" + n, true);
        const std::string request = "{\"op\": \"run\", \"cinfo\": " + cinfo +
                                    ", \"args\": {\"action\": \"mkdir\", \"path\": " + path->Dump() + "}}";
        direct.times.push_back(Milliseconds([&] { return DirectRequest(pipeName, request); }, ok, "direct"));
        local.times.push_back(
            Milliseconds([&] { return Operations::Local::MakeFolder(base + "\\local\\" + n); }, ok, "local"));
    }
    extension->Kill();
    extension.reset();
    if (!ok) {
        return 3;
    }
    std::printf("%d mkdir requests each, interleaved\n", kRequests);
    for (Series* series : {&forwarded, &direct, &local}) {
        const double max = series->Max();
        std::printf("  %-10s median %8.3f ms  max %8.3f ms\n", series->name, series->Median(), max);
    }
    const double directMedian = direct.Median();
    std::printf("  forwarded / direct median: %.2f\n", directMedian > 0 ? forwarded.Median() / directMedian : 0.0);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring here = ExecutableFolder();
    std::wstring launcher = argc > 1 ? argv[1] : here + L"\\" + ToolBox::Utf8ToWide(LAUNCHER_FROM_BENCH);
    std::replace(launcher.begin(), launcher.end(), L'/', L'\\');
    if (::GetFileAttributesW(launcher.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "extension_bench: no launcher at %s\n", ToolBox::WideToUtf8(launcher).c_str());
        return 2;
    }
    const std::wstring folder = here + L"\\extension-bench-" + std::to_wstring(::GetCurrentProcessId());
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    QuietSink quiet;
    ScopedLogSink installedSink(quiet);
    ThisSession session;
    ScopedSessionEnumerator installedSessions(session);
    int code = 2;
    try {
        code = Run(launcher, folder);
    } catch (const std::exception& exception) {
        std::fprintf(stderr, "extension_bench: %s\n", exception.what());
    }
    // The extension is gone (stopped, its job closed at the latest when its object died).
    SharedData::ResetForTests();
    ::Sleep(500);
    std::filesystem::remove_all(folder, error);
    return code;
}
