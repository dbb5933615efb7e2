// Logger throughput beside plain C runtime appends measured in the same run: immediate lines
// per second from 1 and 8 threads (each line opens, appends and closes the day's file), and
// the cost of a line below the threshold beside a bare mutex lock and unlock.
// The logger echoes every line to standard output: the run sends that to a file in its
// folder (Wine's NUL device costs some 200 us a write) and prints its figures on standard error.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <share.h>

#include "Logger.h"
#include "PathName.h"
#include "ToolBox.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

const std::string kLine =
    "[Bench]an ordinary message of a launcher operation, about a hundred bytes long: " + std::string(20, 'x');

double LoggerLinesPerSecond(int threads, int linesPerThread) {
    auto t0 = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([linesPerThread] {
            for (int i = 0; i < linesPerThread; ++i) Logger::Info(kLine);
        });
    for (std::thread& w : workers) w.join();
    return threads * linesPerThread / Since(t0);
}

// The same line appended with the C runtime alone, one open/append/close per line, the
// threads taking turns as the logger's do.
double PlainAppendsPerSecond(const std::string& path, int threads, int linesPerThread) {
    std::wstring wide = ToolBox::Utf8ToWide(path);
    std::mutex turn;
    auto t0 = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < linesPerThread; ++i) {
                std::lock_guard<std::mutex> guard(turn);
                std::FILE* file = ::_wfsopen(wide.c_str(), L"at", _SH_DENYNO);
                if (!file) return;
                std::fwrite(kLine.data(), 1, kLine.size(), file);
                std::fputc('\n', file);
                std::fclose(file);
            }
        });
    for (std::thread& w : workers) w.join();
    return threads * linesPerThread / Since(t0);
}

double NanosecondsPerCall(int calls, void (*call)()) {
    auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) call();
    return Since(t0) * 1e9 / calls;
}

std::mutex g_reference;
volatile int g_level = 10;

}  // namespace

int main() {
    const std::string folder =
        ToolBox::GetExecutableFolder().GetText() + "\\bench-tmp-" + std::to_string(::GetCurrentProcessId());
    std::filesystem::create_directories(folder);
    if (!::_wfreopen(ToolBox::Utf8ToWide(folder + "\\echo.txt").c_str(), L"w", stdout))
        std::fputs("standard output stays as it is: figures include that echo\n", stderr);
    if (!Logger::Init("bench", folder, "")) {
        std::fprintf(stderr, "the logger cannot write into %s\n", folder.c_str());
        return 1;
    }
    Logger::Info("warm-up");

    const double plainOne = PlainAppendsPerSecond(folder + "\\plain.txt", 1, 20000);
    const double one = LoggerLinesPerSecond(1, 20000);
    const double plainEight = PlainAppendsPerSecond(folder + "\\plain.txt", 8, 2500);
    const double eight = LoggerLinesPerSecond(8, 2500);
    const double dropped = NanosecondsPerCall(2000000, [] { Logger::Internal(kLine); });
    const double lock = NanosecondsPerCall(2000000, [] {
        std::lock_guard<std::mutex> guard(g_reference);
        if (g_level < 20) return;
    });
    Logger::Flush();

    std::fprintf(stderr, "immediate lines, 1 thread : %9.0f lines/s   (plain open/append/close: %9.0f lines/s)\n", one,
                 plainOne);
    std::fprintf(stderr, "immediate lines, 8 threads: %9.0f lines/s   (plain open/append/close: %9.0f lines/s)\n",
                 eight, plainEight);
    std::fprintf(stderr, "line below the threshold  : %9.1f ns/call   (mutex lock and unlock:   %9.1f ns)\n", dropped,
                 lock);

    std::fclose(stdout);  // the echo file is in the folder
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return 0;
}
