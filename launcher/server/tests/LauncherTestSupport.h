#pragma once
// Shared by the server tests: the product started as a child process in a test folder, a
// client of its request pipe, and a window that records its messages.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "LogSink.h"
#include "PipeConnection.h"
#include "TestFolder.h"
#include "ZYNSysKernelHandle.h"

// A program of the build, by its path relative to the test program's folder.
std::wstring BuiltProgram(const char* relativePath);

// Names no other test of any process uses at the same time.
std::wstring UniquePipeName();
std::wstring UniqueClassName();

// The reply the server writes for a request that produced no content.
std::string ReplyText(int rc);

using EnvList = std::vector<std::pair<std::wstring, std::wstring>>;

// The product (or another program) in a child process: its data and logs in the folder
// (WEX_TRQ_TMP), its standard output (and the standard error of another program) captured
// to a file there. The launcher's own variables are unset unless given.
class Launcher {
public:
    Launcher(const TestFolder& folder, const std::vector<std::wstring>& args, const EnvList& env = {},
             const std::wstring& program = {});
    ~Launcher();  // a launcher still running is ended
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    bool Started() const { return static_cast<bool>(process_); }
    DWORD Id() const { return id_; }
    // The exit code, or nothing when the process still runs after the wait.
    std::optional<DWORD> WaitForExit(DWORD milliseconds);
    // Standard output and error so far (the logger echoes every line there), CR removed.
    std::string Output() const;
    // The hidden window of this process (not of another launcher), waited for.
    HWND Window(DWORD milliseconds) const;

private:
    ZYNSysKernelHandle process_;
    DWORD id_ = 0;
    std::wstring outputPath_;
};

// Runs the product to its end: exit code (nothing after a time-out) and output.
struct ProductRun {
    std::optional<DWORD> exitCode;
    std::string output;
};
ProductRun RunProduct(const TestFolder& folder, const std::vector<std::wstring>& args, const EnvList& env = {},
                      DWORD milliseconds = 20000);

// A client of a message-mode pipe. Its I/O is overlapped so that no call waits for ever:
// each call answers a Win32 error code, 0 on success and WAIT_TIMEOUT after the wait.
class PipeClient {
public:
    // Retries while the server has no instance on offer, up to the time given.
    DWORD Open(const std::wstring& name, DWORD milliseconds = 15000, DWORD access = GENERIC_READ | GENERIC_WRITE);
    DWORD Write(std::string_view message, DWORD milliseconds = 20000);
    // One whole message.
    DWORD Read(std::string& message, DWORD milliseconds = 20000);
    // Reads nothing: 0 while the server holds the connection, the error once it let go.
    DWORD Peek();
    void Close() { pipe_.Reset(); }

private:
    static DWORD Answer(const PipeResult& result);
    ZYNSysKernelHandle pipe_;
    ZYNSysKernelHandle event_;
};

// Waits until the pipe exists and has an instance on offer, without connecting to it.
bool WaitForPipe(const std::wstring& name, DWORD milliseconds);

struct Reply {
    DWORD error = 0;  // of the step that failed
    std::string text;
};
// Opens, writes the request and reads the reply.
Reply Exchange(const std::wstring& pipe, std::string_view request);

// The whole file, as bytes; empty when it cannot be read.
std::string ReadAll(const std::filesystem::path& path);

// A hidden top-level window of its own class, on its own thread with a message loop; it
// records every message in the private range (WM_USER and above).
class RecordingWindow {
public:
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    // keepOnClose: WM_CLOSE is recorded too and leaves the window open (a tray that is
    // closed and started again stays one window for the test).
    explicit RecordingWindow(std::wstring className, bool keepOnClose = false);
    ~RecordingWindow();
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    HWND Handle() const { return window_; }
    const std::wstring& ClassName() const { return className_; }
    // The messages recorded so far, once at least count of them arrived (or after the wait).
    std::vector<Message> WaitForMessages(std::size_t count, DWORD milliseconds);

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Loop(HANDLE ready);

    std::wstring className_;
    const bool keepOnClose_;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
    std::mutex mutex_;
    std::vector<Message> messages_;
    std::thread thread_;
};

// Records every log line instead of writing it (install with ScopedLogSink).
class RecordingSink final : public LogSink {
public:
    void Log(int, std::string_view message) override { Add(message, false); }
    void LogDeferred(std::string_view message, int) override { Add(message, true); }
    void ThrowEvent(int, std::string_view text, std::uint16_t) override { Add(text, false); }

    std::vector<std::string> Lines();
    // Whether the exact line was logged, and through the queued entry points.
    bool Has(const std::string& line, bool* queued = nullptr);
    // The rest of the first line that begins with the prefix, or "<none>".
    std::string After(const std::string& prefix);
    // Every line, each ended by a line feed.
    std::string Dump();

private:
    void Add(std::string_view message, bool queued);
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<bool> queued_;
};

// Ids of the running processes started from the program file.
std::vector<DWORD> ProcessesOf(const std::wstring& program);

// The time between the first log lines of the output that end with the two texts, read from
// the product's own stamps ("<2024_03_05-120000.000...>"): what a loaded machine does to the
// test's clock does not count. Nothing when either line is missing.
std::optional<std::int64_t> LoggedMilliseconds(const std::string& output, const std::string& from,
                                               const std::string& to);

// The text as a JSON string literal (backslashes and quotes escaped).
std::string JsonQuoted(const std::string& text);

// The bytes of a zip archive holding one file, a.txt with the text "hi".
std::string TinyZip();

// Text as UTF-8 / UTF-16 without the foundation's helpers.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
