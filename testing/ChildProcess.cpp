#include "ChildProcess.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

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

struct EnvironmentStringsDeleter {
    void operator()(wchar_t* block) const { ::FreeEnvironmentStringsW(block); }
};

bool SameName(const std::wstring& entry, const std::wstring& name) {
    // The first character may be "=" (the per-drive folders), so the separator is searched after it.
    const std::size_t separator = entry.find(L'=', 1);
    if (separator != name.size()) return false;
    return ::CompareStringOrdinal(entry.data(), static_cast<int>(separator), name.data(),
                                  static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

// This process's environment block with the changes applied; empty when it cannot be read.
std::wstring ChangedEnvironment(const std::vector<EnvironmentChange>& changes) {
    std::unique_ptr<wchar_t, EnvironmentStringsDeleter> current(::GetEnvironmentStringsW());
    if (!current) return {};
    std::vector<std::wstring> entries;
    for (const wchar_t* p = current.get(); *p; p += entries.back().size() + 1) entries.emplace_back(p);
    for (const EnvironmentChange& change : changes) {
        std::erase_if(entries, [&](const std::wstring& entry) { return SameName(entry, change.name); });
        if (change.value) entries.push_back(change.name + L"=" + *change.value);
    }
    std::wstring block;
    for (const std::wstring& entry : entries) block += entry + L'\0';
    block += L'\0';
    return block;
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

Result Run(const char* name) { return Run(name, {}); }

Result Run(const char* name, const std::vector<EnvironmentChange>& environment) {
    std::wstring path = ModulePath();
    if (path.empty()) return Failure("GetModuleFileNameW");
    std::wstring arguments = L"--child-case=";
    for (const char* p = name; *p; ++p) arguments += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return RunProgram(path, arguments, environment);
}

Result RunProgram(const std::wstring& program, const std::wstring& arguments,
                  const std::vector<EnvironmentChange>& environment) {
    std::wstring block;
    if (!environment.empty()) {
        block = ChangedEnvironment(environment);
        if (block.empty()) return Failure("GetEnvironmentStringsW");
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    ZYNSysKernelHandle reader;
    ZYNSysKernelHandle writer;
    if (!::CreatePipe(reader.Put(), writer.Put(), &inheritable, 0)) return Failure("CreatePipe");
    // An inherited read end would keep the pipe open after the child ends.
    if (!::SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0)) return Failure("SetHandleInformation");

    std::wstring command = L"\"" + program + L"\" " + arguments;

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.Get();
    startup.hStdError = writer.Get();
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                          block.empty() ? nullptr : block.data(), nullptr, &startup, &info))
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

std::string TextOutput(const Result& result) {
    std::string text;
    text.reserve(result.output.size());
    for (char c : result.output)
        if (c != '\r') text += c;
    return text;
}

}  // namespace ChildProcess
