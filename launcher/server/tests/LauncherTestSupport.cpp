#include "LauncherTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <tlhelp32.h>

namespace fs = std::filesystem;

namespace {

std::atomic<int> g_counter{0};

std::wstring ProductPath() { return BuiltProgram(VAROMET_PRODUCT_EXE); }

std::wstring Unique(const wchar_t* prefix) {
    return prefix + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++g_counter) + L"-" +
           std::to_wstring(::GetTickCount64());
}

// One argument quoted the way CommandLineToArgvW splits it back.
std::wstring Quote(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

bool IsLauncherVariable(const std::wstring& entry) {
    static const wchar_t* const kNames[] = {
        L"WEX_TRQ_TMP", L"WEX_TRQ_UUID", L"WEX_TRQ_EXECTOOL", L"TrqConfPath", L"LAUNCHER_SETUPTRQ_TIMER",
        L"ZYNLD_DEBUG", L"QORTraceDir",  L"ZYNSysTrace"};
    for (const wchar_t* name : kNames) {
        std::wstring prefix = std::wstring(name) + L"=";
        if (entry.size() >= prefix.size() &&
            ::CompareStringOrdinal(entry.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                                   static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

// This process's environment without the launcher's variables, then the given ones.
std::wstring EnvironmentBlock(const EnvList& env) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p; p += std::wcslen(p) + 1)
            if (!IsLauncherVariable(p)) entries.emplace_back(p);
        ::FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : env) entries.push_back(name + L"=" + value);
    std::wstring out;
    for (const std::wstring& entry : entries) out += entry + L'\0';
    return out + L'\0';
}

struct WindowSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindBackbone(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    if (owner == search->process && ::GetClassNameW(window, name, 64) &&
        std::wstring(name) == L"VarometLauncher Backbone") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

std::wstring BuiltProgram(const char* relativePath) {
    std::wstring relative = Widen(relativePath);
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    return TestProgramFolder() + L"\\" + relative;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), bytes, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
    return out;
}

// ---- names ----

std::wstring UniquePipeName() { return Unique(L"\\\\.\\pipe\\varomet-test-"); }

std::wstring UniqueClassName() { return Unique(L"VarometTestWindow-"); }

std::string ReplyText(int rc) { return "{\"rc\": " + std::to_string(rc) + ", \"content\": null}"; }

// ---- the product ----

Launcher::Launcher(const TestFolder& folder, const std::vector<std::wstring>& args, const EnvList& env,
                   const std::wstring& program) {
    outputPath_ = folder.In(L"launcher-" + std::to_wstring(++g_counter) + L".out");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ZYNSysKernelHandle output(::CreateFileW(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            &inherit, CREATE_ALWAYS, 0, nullptr));
    // Under Wine the first program to make a window starts the desktop process and hands it
    // its standard error, which then stays open: the product's goes nowhere (its log echo
    // is on standard output).
    ZYNSysKernelHandle nowhere(
        ::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    if (!output || !nowhere) {
        ADD_FAILURE() << "cannot make " << Narrow(outputPath_);
        return;
    }
    std::wstring line = Quote(program.empty() ? ProductPath() : program);
    for (const std::wstring& arg : args) line += L" " + Quote(arg);
    EnvList all{{L"WEX_TRQ_TMP", folder.Path()}};
    all.insert(all.end(), env.begin(), env.end());
    std::wstring block = EnvironmentBlock(all);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.Get();
    startup.hStdError = program.empty() ? nowhere.Get() : output.Get();
    PROCESS_INFORMATION info{};
    // The folder as working folder: nothing the product makes lands beside the tests.
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, block.data(),
                          folder.Path().c_str(), &startup, &info)) {
        ADD_FAILURE() << "cannot start " << Narrow(line) << ": error " << ::GetLastError();
        return;
    }
    process_.Reset(info.hProcess);
    ZYNSysKernelHandle thread(info.hThread);
    id_ = info.dwProcessId;
}

Launcher::~Launcher() {
    if (process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) {
        ADD_FAILURE() << "the launcher was still running at the end of the test; output:\n" << Output();
        ::TerminateProcess(process_.Get(), 99);
        ::WaitForSingleObject(process_.Get(), 10000);
    }
}

std::optional<DWORD> Launcher::WaitForExit(DWORD milliseconds) {
    DWORD code = 0;
    if (!process_ || ::WaitForSingleObject(process_.Get(), milliseconds) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.Get(), &code))
        return std::nullopt;
    return code;
}

std::string Launcher::Output() const {
    std::ifstream in(fs::path(outputPath_), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::erase(text, '\r');
    return text;
}

HWND Launcher::Window(DWORD milliseconds) const {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    do {
        WindowSearch search{id_, nullptr};
        ::EnumWindows(&FindBackbone, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        ::Sleep(20);
    } while (::GetTickCount64() < deadline);
    return nullptr;
}

ProductRun RunProduct(const TestFolder& folder, const std::vector<std::wstring>& args, const EnvList& env,
                      DWORD milliseconds) {
    Launcher launcher(folder, args, env);
    ProductRun run;
    run.exitCode = launcher.WaitForExit(milliseconds);
    run.output = launcher.Output();
    return run;
}

// ---- pipe client ----

DWORD PipeClient::Open(const std::wstring& name, DWORD milliseconds, DWORD access) {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    for (;;) {
        pipe_.Reset(::CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (pipe_) break;
        DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY) return error;
        if (::GetTickCount64() >= deadline) return error;
        if (error == ERROR_PIPE_BUSY)
            ::WaitNamedPipeW(name.c_str(), 100);
        else
            ::Sleep(20);
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe_.Get(), &mode, nullptr, nullptr)) return ::GetLastError();
    event_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return ERROR_SUCCESS;
}

DWORD PipeClient::Answer(const PipeResult& result) {
    switch (result.end) {
        case PipeEnd::Done:
            return ERROR_SUCCESS;
        case PipeEnd::TimedOut:
            return WAIT_TIMEOUT;
        default:
            return result.error;
    }
}

DWORD PipeClient::Write(std::string_view message, DWORD milliseconds) {
    return Answer(
        WritePipeMessage(pipe_.Get(), message, {.deadline = PipeDeadline::In(milliseconds), .ioEvent = event_.Get()}));
}

DWORD PipeClient::Read(std::string& message, DWORD milliseconds) {
    return Answer(
        ReadPipeMessage(pipe_.Get(), message, {.deadline = PipeDeadline::In(milliseconds), .ioEvent = event_.Get()}));
}

bool WaitForPipe(const std::wstring& name, DWORD milliseconds) {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    while (!::WaitNamedPipeW(name.c_str(), 100)) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(20);
    }
    return true;
}

DWORD PipeClient::Peek() {
    return ::PeekNamedPipe(pipe_.Get(), nullptr, 0, nullptr, nullptr, nullptr) ? ERROR_SUCCESS : ::GetLastError();
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Reply Exchange(const std::wstring& pipe, std::string_view request) {
    PipeClient client;
    Reply reply;
    if ((reply.error = client.Open(pipe)) != 0) return reply;
    if ((reply.error = client.Write(request)) != 0) return reply;
    reply.error = client.Read(reply.text);
    return reply;
}

// ---- recording window ----

RecordingWindow::RecordingWindow(std::wstring className, bool keepOnClose)
    : className_(std::move(className)), keepOnClose_(keepOnClose) {
    ZYNSysKernelHandle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_ = std::thread(&RecordingWindow::Loop, this, ready.Get());
    ::WaitForSingleObject(ready.Get(), 10000);
    EXPECT_NE(window_, nullptr) << "the recording window was not made";
}

RecordingWindow::~RecordingWindow() {
    if (window_ && !keepOnClose_)
        ::PostMessageW(window_, WM_CLOSE, 0, 0);
    else if (threadId_)
        ::PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    if (thread_.joinable()) thread_.join();
    ::UnregisterClassW(className_.c_str(), ::GetModuleHandleW(nullptr));
}

LRESULT CALLBACK RecordingWindow::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<RecordingWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && (message >= WM_USER || (message == WM_CLOSE && self->keepOnClose_))) {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.push_back({message, wParam, lParam});
        return 0;
    }
    if (message == WM_DESTROY) ::PostQuitMessage(0);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

void RecordingWindow::Loop(HANDLE ready) {
    threadId_ = ::GetCurrentThreadId();
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &Procedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className_.c_str();
    if (::RegisterClassW(&windowClass)) {
        window_ =
            ::CreateWindowW(className_.c_str(), className_.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, windowClass.hInstance, this);
    }
    ::SetEvent(ready);
    if (!window_) return;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    if (keepOnClose_) ::DestroyWindow(window_);
}

std::vector<RecordingWindow::Message> RecordingWindow::WaitForMessages(std::size_t count, DWORD milliseconds) {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (messages_.size() >= count || ::GetTickCount64() >= deadline) return messages_;
        }
        ::Sleep(10);
    }
}

std::string TinyZip() {
    // A stored archive holding a.txt = "hi".
    static constexpr unsigned char kZip[] = {
        0x50, 0x4B, 0x03, 0x04, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x81, 0xAD, 0x88, 0x5D, 0xAC, 0x2A, 0x93, 0xD8, 0x02,
        0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x61, 0x2E, 0x74, 0x78, 0x74, 0x68, 0x69, 0x50,
        0x4B, 0x01, 0x02, 0x14, 0x03, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x81, 0xAD, 0x88, 0x5D, 0xAC, 0x2A, 0x93, 0xD8,
        0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x80, 0x01, 0x00, 0x00, 0x00, 0x00, 0x61, 0x2E, 0x74, 0x78, 0x74, 0x50, 0x4B, 0x05, 0x06, 0x00, 0x00, 0x00,
        0x00, 0x01, 0x00, 0x01, 0x00, 0x33, 0x00, 0x00, 0x00, 0x25, 0x00, 0x00, 0x00, 0x00, 0x00};
    return std::string(reinterpret_cast<const char*>(kZip), sizeof kZip);
}

std::vector<std::string> RecordingSink::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool RecordingSink::Has(const std::string& line, bool* queued) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i] != line) continue;
        if (queued) *queued = queued_[i];
        return true;
    }
    return false;
}

std::string RecordingSink::After(const std::string& prefix) {
    for (const std::string& l : Lines())
        if (l.starts_with(prefix)) return l.substr(prefix.size());
    return "<none>";
}

std::string RecordingSink::Dump() {
    std::string all;
    for (const std::string& l : Lines()) all += l + "\n";
    return all;
}

void RecordingSink::Add(std::string_view message, bool queued) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(message);
    queued_.push_back(queued);
}

std::vector<DWORD> ProcessesOf(const std::wstring& program) {
    std::vector<DWORD> found;
    // The system names a program by its full path without "..".
    wchar_t full[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(program.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) return found;
    ZYNSysKernelHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        ZYNSysKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        wchar_t image[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (process && ::QueryFullProcessImageNameW(process.Get(), 0, image, &size) &&
            ::CompareStringOrdinal(image, static_cast<int>(size), full, static_cast<int>(length), TRUE) == CSTR_EQUAL)
            found.push_back(entry.th32ProcessID);
    }
    return found;
}

namespace {

// The stamp of the first line ending with the text, in milliseconds.
std::optional<std::int64_t> LineStamp(const std::string& output, const std::string& text) {
    for (std::size_t start = 0; start < output.size();) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const std::string_view line(output.data() + start, end - start);
        start = end + 1;
        SYSTEMTIME time{};
        unsigned year, month, day, hour, minute, second, milliseconds;
        if (!line.ends_with(text) ||
            std::sscanf(std::string(line.substr(0, 24)).c_str(), "<%4u_%2u_%2u-%2u%2u%2u.%3u", &year, &month, &day,
                        &hour, &minute, &second, &milliseconds) != 7)
            continue;
        time.wYear = static_cast<WORD>(year);
        time.wMonth = static_cast<WORD>(month);
        time.wDay = static_cast<WORD>(day);
        time.wHour = static_cast<WORD>(hour);
        time.wMinute = static_cast<WORD>(minute);
        time.wSecond = static_cast<WORD>(second);
        time.wMilliseconds = static_cast<WORD>(milliseconds);
        FILETIME units{};
        if (!::SystemTimeToFileTime(&time, &units)) return std::nullopt;
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(units.dwHighDateTime) << 32 |
                                          units.dwLowDateTime) / 10000);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> LoggedMilliseconds(const std::string& output, const std::string& from,
                                               const std::string& to) {
    const std::optional<std::int64_t> begin = LineStamp(output, from);
    const std::optional<std::int64_t> end = LineStamp(output, to);
    if (!begin || !end) return std::nullopt;
    return *end - *begin;
}

std::string JsonQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}
