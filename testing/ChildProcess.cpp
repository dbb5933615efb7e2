#include "ChildProcess.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "ZYNSysKernelHandle.h"

namespace ChildProcess {
namespace {

constexpr char kSwitch[] = "--child-case=";
constexpr std::size_t kSwitchLength = sizeof kSwitch - 1;

std::map<std::string, CaseFunction>& Registry() {
    static std::map<std::string, CaseFunction> cases;
    return cases;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

Result Failure(const char* what) {
    Result result;
    result.output = std::string(what) + " failed: error " + std::to_string(::GetLastError());
    return result;
}

}  // namespace

bool RegisterCase(const char* name, CaseFunction function) {
    return Registry().emplace(name, function).second;
}

bool RunCaseFromArguments(int argc, char** argv, int& exitCode) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kSwitch, kSwitchLength) != 0) continue;
        const char* name = argv[i] + kSwitchLength;
        auto found = Registry().find(name);
        if (found == Registry().end()) {
            std::fprintf(stderr, "no child case named %s\n", name);
            exitCode = kUnknownCase;
        } else {
            exitCode = found->second();
        }
        std::fflush(stdout);
        std::fflush(stderr);
        return true;
    }
    return false;
}

Result Run(const char* name) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    ZYNSysKernelHandle reader;
    ZYNSysKernelHandle writer;
    if (!::CreatePipe(reader.Put(), writer.Put(), &inheritable, 0)) return Failure("CreatePipe");
    // An inherited read end would keep the pipe open after the child ends.
    if (!::SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0)) return Failure("SetHandleInformation");

    std::wstring path = ModulePath();
    if (path.empty()) return Failure("GetModuleFileNameW");
    std::wstring command = L"\"" + path + L"\" --child-case=";
    for (const char* p = name; *p; ++p) command += static_cast<wchar_t>(static_cast<unsigned char>(*p));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.Get();
    startup.hStdError = writer.Get();
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return Failure("CreateProcessW");
    ZYNSysKernelHandle process(info.hProcess);
    ZYNSysKernelHandle thread(info.hThread);
    // With our copy of the write end closed, the reads end when the child does.
    writer.Reset();

    Result result;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(reader.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) result.output.append(chunk, got);
    DWORD exitCode = 0;
    if (::WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process.Get(), &exitCode)) {
        Result failed = Failure("waiting for the child");
        failed.output += "\n" + result.output;
        return failed;
    }
    result.started = true;
    result.exitCode = exitCode;
    return result;
}

}  // namespace ChildProcess
