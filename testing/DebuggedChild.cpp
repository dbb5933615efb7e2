#include "DebuggedChild.h"

#include <algorithm>
#include <cwchar>

#include "ZYNSysKernelHandle.h"

namespace DebuggedChild {
namespace {

using EnvironmentStrings = ZYNSysHandle<ZYNSysHandleTraits<wchar_t*, &::FreeEnvironmentStringsW>>;

constexpr DWORD kDeadlineMs = 60000;
// A child that keeps breaking (a breakpoint that resumes onto itself) is stopped.
constexpr int kMostBreakpoints = 100;

Result Failure(const char* what) {
    Result result;
    result.error = std::string(what) + " failed: error " + std::to_string(::GetLastError());
    return result;
}

bool Named(const wchar_t* entry, const std::wstring& name) {
    const std::size_t length = std::wcslen(entry);
    return length > name.size() && entry[name.size()] == L'=' &&
           ::CompareStringOrdinal(entry, static_cast<int>(name.size()), name.c_str(), static_cast<int>(name.size()),
                                  TRUE) == CSTR_EQUAL;
}

std::wstring EnvironmentBlock(const Variables& variables) {
    std::wstring block;
    EnvironmentStrings strings(::GetEnvironmentStringsW());
    for (const wchar_t* p = strings.Get(); p && *p; p += std::wcslen(p) + 1) {
        bool replaced = false;
        for (const auto& variable : variables) replaced = replaced || Named(p, variable.first);
        if (!replaced) block.append(p).push_back(L'\0');
    }
    for (const auto& [name, value] : variables)
        if (!value.empty()) block.append(name + L"=" + value).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// The file handles that debug events hand over are the debugger's to close.
void Adopt(HANDLE file) { ZYNSysKernelHandle owned(file); }

// A text the child wrote to the debugger, read from its memory.
std::string DebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    const std::size_t units = info.nDebugStringLength;
    if (units == 0) return {};
    if (!info.fUnicode) {
        std::string text(units, '\0');
        SIZE_T read = 0;
        ::ReadProcessMemory(process, info.lpDebugStringData, text.data(), units, &read);
        text.resize(std::min<std::size_t>(read, units - 1));
        return text;
    }
    std::wstring wide(units, L'\0');
    SIZE_T read = 0;
    ::ReadProcessMemory(process, info.lpDebugStringData, wide.data(), units * sizeof(wchar_t), &read);
    wide.resize(std::min<std::size_t>(read / sizeof(wchar_t), units - 1));
    if (wide.empty()) return {};
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string text(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
    if (bytes > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), bytes, nullptr,
                              nullptr);
    }
    return text;
}

// The child's events until it ends; false past the deadline.
bool Debug(HANDLE process, Result& result) {
    bool loaderBreakpointSeen = false;
    const ULONGLONG deadline = ::GetTickCount64() + kDeadlineMs;
    for (;;) {
        const ULONGLONG now = ::GetTickCount64();
        DEBUG_EVENT event{};
        if (now >= deadline || !::WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) {
            result.error = "the child did not end in time";
            ::TerminateProcess(process, 1);
            return false;
        }
        DWORD continueStatus = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                Adopt(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                Adopt(event.u.LoadDll.hFile);
                break;
            case OUTPUT_DEBUG_STRING_EVENT:
                result.debugStrings.push_back(DebugString(process, event.u.DebugString));
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    continueStatus = DBG_EXCEPTION_NOT_HANDLED;
                } else if (!loaderBreakpointSeen) {
                    loaderBreakpointSeen = true;
                } else if (++result.breakpoints > kMostBreakpoints) {
                    ::TerminateProcess(process, 1);
                }
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                result.exitCode = event.u.ExitProcess.dwExitCode;
                ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
                return true;
            default:
                break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
    }
}

}  // namespace

Result Run(const char* caseName, const Variables& variables, bool debug) {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return Failure("GetModuleFileNameW");
    path.resize(length);
    std::wstring command = L"\"" + path + L"\" --child-case=";
    for (const char* p = caseName; *p; ++p) command += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    std::wstring environment = EnvironmentBlock(variables);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (debug ? DEBUG_ONLY_THIS_PROCESS : 0);
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, flags, environment.data(), nullptr,
                          &startup, &info))
        return Failure("CreateProcessW");
    ZYNSysKernelHandle process(info.hProcess);
    ZYNSysKernelHandle thread(info.hThread);

    Result result;
    if (debug) {
        if (!Debug(process.Get(), result)) return result;
    } else {
        DWORD exitCode = 0;
        if (::WaitForSingleObject(process.Get(), kDeadlineMs) != WAIT_OBJECT_0) {
            ::TerminateProcess(process.Get(), 1);
            result.error = "the child did not end in time";
            return result;
        }
        if (!::GetExitCodeProcess(process.Get(), &exitCode)) return Failure("GetExitCodeProcess");
        result.exitCode = exitCode;
    }
    result.started = true;
    return result;
}

}  // namespace DebuggedChild
