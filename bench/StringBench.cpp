// Strings made and released with the recycle pool on beside the pool off (goal: the pool at least
// 2x the heap's rate), then 1 KiB of mixed text from UTF-8 through the string core to UTF-16 and
// back beside MultiByteToWideChar/WideCharToMultiByte (goal: at least 0.6x their rate), with a
// Windows code page and with UTF-8 as the process's code page. The pool-off and UTF-8 figures
// come from copies of this program started with their environment; each figure is the best of
// five rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "QORInterUnicodeString.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysStringPool.h"

namespace {

using Clock = std::chrono::steady_clock;

template <typename Step>
double NanosecondsPerStep(int steps, Step step) {
    double best = 1e12;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < steps; ++i) step(i);
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / steps);
    }
    return best;
}

// Texts of 7 to 63 bytes: representations of 40 to 96 bytes, every class the pool serves.
double MakeAndRelease() {
    std::vector<std::string> texts;
    for (int length = 7; length <= 63; ++length) texts.emplace_back(static_cast<std::size_t>(length), 'x');
    const int count = static_cast<int>(texts.size());
    return NanosecondsPerStep(2'000'000, [&](int i) {
        QORInterUnicodeString a(texts[static_cast<std::size_t>(i % count)].c_str());
        QORInterUnicodeString b(texts[static_cast<std::size_t>((i * 7) % count)].c_str());
    });
}

std::string MixedText() {
    const std::string piece = "Fichier r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E \xF0\x9F\x98\x80 path\\to\\item; ";
    std::string text;
    while (text.size() + piece.size() <= 1024) text += piece;
    while (text.size() < 1024) text += 'a';
    return text;
}

struct RoundTrip {
    double core;
    double platform;
};

RoundTrip MeasureRoundTrip() {
    const std::string text = MixedText();
    const int bytes = static_cast<int>(text.size());
    std::vector<wchar_t> wide(text.size() + 1);
    std::vector<char> back(text.size() * 2);
    int mismatches = 0;
    const double core = NanosecondsPerStep(50'000, [&](int) {
        QORInterUnicodeString s;
        s.BuildFromUTF8(text.data(), text.size());
        const wchar_t* units = s.CastToWCharStar();
        std::size_t size = back.size();
        s.ConvertToUTF8(back.data(), &size);
        if (!units || size != text.size()) ++mismatches;
    });
    const double platform = NanosecondsPerStep(50'000, [&](int) {
        const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, wide.data(), bytes + 1);
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, back.data(),
                                               static_cast<int>(back.size()), nullptr, nullptr);
        if (size != bytes) ++mismatches;
    });
    if (mismatches || std::memcmp(back.data(), text.data(), text.size()) != 0)
        std::printf("round trip changed the text (%d mismatches)\n", mismatches);
    return {core, platform};
}

// Runs this program again with one variable set and answers the first line it prints.
std::string RunCopy(const wchar_t* argument, const wchar_t* name, const wchar_t* value) {
    wchar_t path[MAX_PATH];
    if (!::GetModuleFileNameW(nullptr, path, MAX_PATH)) return {};
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    ZYNSysKernelHandle reader;
    ZYNSysKernelHandle writer;
    if (!::CreatePipe(reader.Put(), writer.Put(), &inheritable, 0)) return {};
    ::SetHandleInformation(reader.Get(), HANDLE_FLAG_INHERIT, 0);
    std::wstring command = std::wstring(L"\"") + path + L"\" " + argument;
    // The copy inherits the variable; this process's figures were taken before it was set.
    ::SetEnvironmentVariableW(name, value);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer.Get();
    startup.hStdError = writer.Get();
    PROCESS_INFORMATION info{};
    const BOOL started =
        ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    ::SetEnvironmentVariableW(name, nullptr);
    if (!started) return {};
    ZYNSysKernelHandle process(info.hProcess);
    ZYNSysKernelHandle thread(info.hThread);
    writer.Reset();
    std::string output;
    char chunk[512];
    DWORD got = 0;
    while (::ReadFile(reader.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) output.append(chunk, got);
    ::WaitForSingleObject(process.Get(), INFINITE);
    return output.substr(0, output.find_first_of("\r\n"));
}

void ReportRoundTrip(const char* codePage, const RoundTrip& r) {
    std::printf("1 KiB UTF-8 -> UTF-16 -> UTF-8, %-14s string core %8.0f ns, MultiByteToWideChar/"
                "WideCharToMultiByte %8.0f ns: %.2fx their rate (goal 0.6x)\n",
                codePage, r.core, r.platform, r.platform / r.core);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--make-release") == 0) {
        std::printf("%.3f\n", MakeAndRelease());
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--round-trip") == 0) {
        const RoundTrip r = MeasureRoundTrip();
        std::printf("%.3f %.3f\n", r.core, r.platform);
        return 0;
    }
    // This process converts through the ANSI code page, whatever LANG the shell passed.
    ::SetEnvironmentVariableW(L"LANG", L"en_US.1252");
    const double pooled = MakeAndRelease();
    const double heap = std::atof(RunCopy(L"--make-release", L"ZYNStringRecyclePoolForceEnable", L"0").c_str());
    std::printf("two strings of 7 to 63 bytes made and released: pool %s %.1f ns, heap %.1f ns: pool %.2fx the "
                "heap's rate (goal 2x)\n",
                ZYNSysStringPool::IsEnabledForProcess() ? "on" : "OFF", pooled, heap, heap / pooled);

    const std::string ansi = "code page " + std::to_string(::GetACP());
    ReportRoundTrip(ansi.c_str(), MeasureRoundTrip());
    const std::string utf8 = RunCopy(L"--round-trip", L"LANG", L"C.UTF-8");
    RoundTrip r{};
    if (std::sscanf(utf8.c_str(), "%lf %lf", &r.core, &r.platform) == 2) ReportRoundTrip("UTF-8", r);
    return 0;
}
