// A user extension with canned replies, started as "fake_extension run <pipe>". It serves
// one request and one reply per connection on that pipe; "STOP" ends it. Its behaviour
// comes from the environment it inherits:
//   FAKE_EXT_MODE        serve (default) | exit (ends at once) | nopipe (never makes its pipe) |
//                        ignorestop (serves, but "STOP" does not end it)
//   FAKE_EXT_EXIT_CODE   exit code of mode exit (default 0)
//   FAKE_EXT_DELAY_MS    wait before the pipe is made
//   FAKE_EXT_REPLY_FILE  read at each request: the reply text, or "#close" (no reply, the
//                        pipe is closed), or "#bytes N" (N times 'x'), or "#hang" (no reply,
//                        the pipe stays open), or "#late N TEXT" (TEXT after N ms); without it
//                        {"rc":0,"content":true}
//   FAKE_EXT_RECORD      file that gets "start <pid>", then "request <text>" per request
//   FAKE_EXT_WINDOW      set: also a hidden window of the launcher's class, whose stop message
//                        (1049) ends the fake
// Also "fake_extension postStatus <json>", the launcher's one-shot stop relay: records
// "postStatus <json>" and posts the label to the first window of class "wnd", if any.

#include "GuiMain.h"
#include "PipeConnection.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysWin.h"

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[4096] = {};
    DWORD got = ::GetEnvironmentVariableW(name, buffer, 4096);
    return got > 0 && got < 4096 ? std::wstring(buffer, got) : std::wstring();
}

std::mutex g_recordLock;

void Record(const std::string& line) {
    const std::wstring path = Env(L"FAKE_EXT_RECORD");
    if (path.empty()) return;
    std::lock_guard<std::mutex> guard(g_recordLock);
    if (FILE* out = ::_wfopen(path.c_str(), L"ab")) {
        const std::string text = line + "\n";
        std::fwrite(text.data(), 1, text.size(), out);
        std::fclose(out);
    }
}

// One side of an exchange, within the launcher's time for it.
PipeWait ExchangeWait() { return PipeWait{.deadline = PipeDeadline::In(kPipeExchangeMilliseconds)}; }

void Serve(HANDLE raw, const std::wstring& mode) {
    ZYNSysKernelHandle pipe(raw);
    std::string request;
    if (ReadPipeMessage(pipe.Get(), request, ExchangeWait()).end != PipeEnd::Done) return;
    if (request == "STOP") {
        Record("STOP");
        if (mode != L"ignorestop") ::ExitProcess(0);
        return;
    }
    Record("request " + request);
    std::string reply = R"({"rc":0,"content":true})";
    const std::wstring replyFile = Env(L"FAKE_EXT_REPLY_FILE");
    if (!replyFile.empty()) {
        reply.clear();
        if (FILE* in = ::_wfopen(replyFile.c_str(), L"rb")) {
            char buffer[4096];
            for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;) reply.append(buffer, got);
            std::fclose(in);
        }
    }
    if (reply == "#close") return;
    if (reply == "#hang") {
        ::Sleep(INFINITE);
        return;
    }
    if (reply.rfind("#late ", 0) == 0) {
        char* text = nullptr;
        const unsigned long delay = std::strtoul(reply.c_str() + 6, &text, 10);
        reply = std::string(*text == ' ' ? text + 1 : text);
        ::Sleep(delay);
    }
    if (reply.rfind("#bytes ", 0) == 0) reply.assign(std::strtoull(reply.c_str() + 7, nullptr, 10), 'x');
    WritePipeMessage(pipe.Get(), reply, ExchangeWait());
    ::FlushFileBuffers(pipe.Get());
    ::DisconnectNamedPipe(pipe.Get());
}

// The text of a string member, found by plain search: enough for the relay's fixed order.
std::wstring Member(const std::wstring& json, const std::wstring& name) {
    const std::wstring key = L"\"" + name + L"\": \"";
    const std::size_t start = json.find(key);
    if (start == std::wstring::npos) return {};
    const std::size_t from = start + key.size();
    return json.substr(from, json.find(L'"', from) - from);
}

constexpr UINT kStopMessage = WM_USER + 25;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kStopMessage) {
        Record("window stop");
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

int WindowLoop() {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VarometLauncher Backbone";
    if (!::RegisterClassW(&windowClass)) return 4;
    if (!::CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, nullptr, nullptr,
                           windowClass.hInstance, nullptr))
        return 5;
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
    return 0;
}

int ServePipe(const std::wstring& name, const std::wstring& mode);

int Main(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wstring(argv[1]) == L"postStatus") {
        const std::wstring json = argv[2];
        Record("postStatus " + Utf8(argv[2]));
        if (HWND window = ::FindWindowW(Member(json, L"wnd").c_str(), nullptr)) {
            ::PostMessageW(window, static_cast<UINT>(std::wcstoul(Member(json, L"label").c_str(), nullptr, 10)), 0, 0);
        }
        return 0;
    }
    if (argc != 3 || std::wstring(argv[1]) != L"run") return 64;
    Record("start " + std::to_string(::GetCurrentProcessId()));
    const std::wstring mode = Env(L"FAKE_EXT_MODE");
    if (mode == L"exit") return static_cast<int>(std::wcstoul(Env(L"FAKE_EXT_EXIT_CODE").c_str(), nullptr, 10));
    const std::wstring delay = Env(L"FAKE_EXT_DELAY_MS");
    if (!delay.empty()) {
        // Counted from the creation of the process, as the launcher's waits are: a slow start
        // under load must not eat into them.
        const ULONGLONG wanted = std::wcstoul(delay.c_str(), nullptr, 10);
        FILETIME created{}, exited{}, kernel{}, user{}, now{};
        ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
        ::GetSystemTimeAsFileTime(&now);
        auto ticks = [](const FILETIME& t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
        const ULONGLONG elapsed = ticks(now) > ticks(created) ? (ticks(now) - ticks(created)) / 10000 : 0;
        if (elapsed < wanted) ::Sleep(static_cast<DWORD>(wanted - elapsed));
    }
    if (!Env(L"FAKE_EXT_WINDOW").empty()) {
        std::thread(ServePipe, std::wstring(argv[2]), mode).detach();
        return WindowLoop();
    }
    return ServePipe(argv[2], mode);
}

int ServePipe(const std::wstring& name, const std::wstring& mode) {
    if (mode == L"nopipe") {
        ::Sleep(60000);
        return 0;
    }
    bool first = true;
    ZYNSysKernelHandle connectEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (;;) {
        // The first instance claims the name; a name someone already serves ends the fake.
        const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        ZYNSysKernelHandle pipe(::CreateNamedPipeW(name.c_str(), openMode,
                                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                                   PIPE_UNLIMITED_INSTANCES, 8192, 8192, 5000, nullptr));
        if (!pipe) return 3;
        first = false;
        OVERLAPPED overlapped{};
        overlapped.hEvent = connectEvent.Get();
        if (!::ConnectNamedPipe(pipe.Get(), &overlapped)) {
            const DWORD error = ::GetLastError();
            DWORD ignored = 0;
            if (error != ERROR_PIPE_CONNECTED &&
                !(error == ERROR_IO_PENDING && ::GetOverlappedResult(pipe.Get(), &overlapped, &ignored, TRUE)))
                continue;
        }
        std::thread(Serve, pipe.Take(), mode).detach();
    }
}

}  // namespace

int GuiMain(int argc, wchar_t** argv) { return Main(argc, argv); }
