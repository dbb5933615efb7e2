// Memory kept per call: "CallWS" (Utils::callWebService: without a ticket, with one planted on a
// given authentication URL, and with one whose authentication service is resolved), the WinINet
// driver alone and a media download (Utils::DownloadMedia), beside bare WinINet GETs of the same
// URLs with the same request flags (and once with INTERNET_FLAG_NO_COOKIES). Each on one URL on a
// short-lived thread per call, as the request server runs calls, then on a new URL per call (a
// query parameter that changes) on one thread and on a thread per call. Two figures: heap bytes
// in use, summed over every heap of the process (HeapWalk), and resident bytes (under Wine the
// Unix process's anonymous and file-backed resident memory, elsewhere the working set), before
// and after COUNT calls that follow 30 unmeasured ones.
//   memory_bench URL TICKET_COOKIE_URL DOWNLOAD_URL DOWNLOAD_MD5 DOWNLOAD_SIZE OUTPUT [COUNT]
// URL and DOWNLOAD_URL carry a query (the changing parameter is appended with '&'); URL's answer
// says it is the identity service, so that a resolution ends on its first request.
// bench/memory_bench.sh serves the files and runs it.
#include "ZYNSysWin.h"

#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Config.h"
#include "Json.h"
#include "LogSink.h"
#include "MediaInfo.h"
#include "OrdanaRequestInfo.h"
#include "QORHttpWDriver.h"
#include "ResolutionCache.h"
#include "ToolBox.h"
#include "Utils.h"
#include "ZYNSysInternetHandle.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr int kWarmUp = 30;
// What the WinINet driver opens a plain-http request of the launcher's calls with (reload, no
// automatic redirect, keep-connection), and what the download opens its request with.
constexpr DWORD kDriverFlags = 0x80600000;
constexpr DWORD kDownloadFlags = 0x84400900;

// The logger's output would be measured too; errors still reach stderr.
class ErrorsOnly final : public LogSink {
public:
    void Log(int level, std::string_view message) override {
        if (level >= 50) std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
    }
    void LogDeferred(std::string_view message, int level) override { Log(level, message); }
    void ThrowEvent(int, std::string_view, std::uint16_t) override {}
};

// Bytes of the busy blocks of every heap of the process.
long long HeapBytesInUse() {
    std::vector<HANDLE> heaps(64);
    DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size()) {
        heaps.resize(count + 16);
        count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    }
    long long total = 0;
    for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
        if (!::HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
        }
        ::HeapUnlock(heaps[i]);
    }
    return total;
}

// Under Wine, the Unix id of this process: the /proc entry whose command line is this program's
// Unix path (a file opened by name is opened by the wine server, so /proc/self is not ours).
long UnixProcessId() {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t self[MAX_PATH] = {};
    if (!convert || !::GetModuleFileNameW(nullptr, self, MAX_PATH)) return 0;
    char* converted = convert(self);
    if (!converted) return 0;
    const std::string unixPath = converted;
    ::HeapFree(::GetProcessHeap(), 0, converted);
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(L"Z:\\proc\\*", &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    long pid = 0;
    do {
        const long candidate = std::wcstol(found.cFileName, nullptr, 10);
        if (candidate <= 0) continue;
        const std::wstring path = L"Z:\\proc\\" + std::wstring(found.cFileName) + L"\\cmdline";
        if (std::FILE* file = _wfopen(path.c_str(), L"rb")) {
            char text[1024] = {};
            std::fread(text, 1, sizeof text - 1, file);
            std::fclose(file);
            if (unixPath == text) pid = candidate;
        }
    } while (pid == 0 && ::FindNextFileW(search, &found));
    ::FindClose(search);
    return pid;
}

long long ResidentBytes() {
    static const long pid = UnixProcessId();
    if (pid != 0) {
        const std::string path = "Z:\\proc\\" + std::to_string(pid) + "\\status";
        if (std::FILE* status = std::fopen(path.c_str(), "r")) {
            char line[256];
            long long kib = 0, total = 0;
            while (std::fgets(line, sizeof line, status)) {
                if (std::sscanf(line, "RssAnon: %lld kB", &kib) == 1 || std::sscanf(line, "RssFile: %lld kB", &kib) == 1) {
                    total += kib;
                }
            }
            std::fclose(status);
            return total * 1024;
        }
    }
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return static_cast<long long>(counters.WorkingSetSize);
}

// One call; its argument makes each URL of the call new when asked for.
using Call = std::function<bool(const std::string& query)>;

struct Run {
    Call* call;
    std::string query;
    bool ok = false;
};

DWORD WINAPI RunCall(void* argument) {
    auto* run = static_cast<Run*>(argument);
    run->ok = (*run->call)(run->query);
    return 0;
}

// The call on a thread of its own, made and ended as the request server makes one per client.
bool OnItsOwnThread(Call& call, const std::string& query) {
    Run run{&call, query};
    ZYNSysKernelHandle thread(::CreateThread(nullptr, 0, &RunCall, &run, 0, nullptr));
    if (!thread) return false;
    ::WaitForSingleObject(thread.Get(), INFINITE);
    return run.ok;
}

struct Figures {
    double heap = 0;
    double resident = 0;
};

int g_serial = 0;

// Bytes kept per call after the warm-up; exits on a failed call.
Figures Measure(const char* name, Call call, int count, bool threadPerCall, bool newUrlEachCall) {
    const auto once = [&] {
        const std::string query = newUrlEachCall ? "&n=" + std::to_string(++g_serial) : std::string();
        return threadPerCall ? OnItsOwnThread(call, query) : call(query);
    };
    for (int i = 0; i < kWarmUp; ++i) {
        if (!once()) {
            std::fprintf(stderr, "%s: a warm-up call failed\n", name);
            std::exit(1);
        }
    }
    const long long heapBefore = HeapBytesInUse();
    const long long residentBefore = ResidentBytes();
    for (int i = 0; i < count; ++i) {
        if (!once()) {
            std::fprintf(stderr, "%s: call %d failed\n", name, i);
            std::exit(1);
        }
    }
    const Figures figures{static_cast<double>(HeapBytesInUse() - heapBefore) / count,
                          static_cast<double>(ResidentBytes() - residentBefore) / count};
    std::printf("%-34s %-15s %-13s: %8.1f heap, %8.1f resident bytes per call\n", name,
                threadPerCall ? "thread per call" : "one thread", newUrlEachCall ? "a URL a call" : "one URL",
                figures.heap, figures.resident);
    std::fflush(stdout);
    return figures;
}

// A GET with the given request flags, the whole body read; a session of its own per call, as
// the download opens one.
bool BareGet(const std::string& url, DWORD flags) {
    ZYNSysInternetHandle session(
        ::InternetOpenA("memory_bench bare", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    ZYNSysInternetHandle request(::InternetOpenUrlA(session.Get(), url.c_str(), nullptr, 0, flags, 0));
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!request ||
        !::HttpQueryInfoA(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr) ||
        status != 200) {
        return false;
    }
    std::vector<char> buffer(65536);
    DWORD read = 0;
    while (::InternetReadFile(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read) && read) {
    }
    return true;
}

// A GET through a driver of its own, as each "CallWS" makes one behind its facade.
bool DriverGet(const std::string& url) {
    QORHttpWDriver driver("Varomet Launcher HTTP client", 1, 1);
    const std::uint32_t timeout = 30000;
    for (std::uint32_t id : {QORHTTP_OPTION_RECEIVE_TIMEOUT, QORHTTP_OPTION_SEND_TIMEOUT,
                             QORHTTP_OPTION_CONNECT_TIMEOUT}) {
        driver.SetOptions(id, &timeout, sizeof timeout);
    }
    char* body = nullptr;
    std::uint64_t length = 0;
    const HRESULT result = driver.Get(url.c_str(), 0x400000, &body, &length, nullptr);
    std::free(body);
    return result == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7 || argc > 8) {
        std::fprintf(stderr, "usage: memory_bench URL TICKET_COOKIE_URL DOWNLOAD_URL DOWNLOAD_MD5 DOWNLOAD_SIZE OUTPUT "
                             "[COUNT]\n");
        return 2;
    }
    const std::string url = argv[1];
    const std::string downloadUrl = argv[3];
    const int count = argc == 8 ? std::max(1, std::atoi(argv[7])) : 200;
    ErrorsOnly sink;
    ScopedLogSink installedSink(sink);
    Config::Init("");
    // Test mode: the download opens a plain-http URL without the secure flag.
    Config::ActivateOption(ConfigOption::TEST_MODE);

    const OrdanaRequestInfo noTicket;
    OrdanaRequestInfo withTicket("", "TGT-1-memorybench", "", argv[2], "", DaemonVersion());
    withTicket.initialised = true;
    // No authentication URL: the target is resolved, once per URL while the table has room.
    OrdanaRequestInfo resolving("", "TGT-1-memorybench", "", "", "", DaemonVersion());
    resolving.initialised = true;
    const auto callWebService = [&](const OrdanaRequestInfo& context, bool noAuth) {
        return [&url, info = &context, noAuth](const std::string& query) {
            std::string response;
            return Utils::callWebService(*info, url + query, "", response, noAuth);
        };
    };
    const std::string output = argv[6];
    const std::wstring wideOutput = ToolBox::Utf8ToWide(output);
    const OrdanaRequestInfo downloadContext;
    const auto download = [&](const std::string& query) {
        const JSON::ValuePtr json = JSON::MakeObject({{"fileName", JSON::MakeString("bench.bin", true)},
                                                      {"downloadLink", JSON::MakeString(downloadUrl + query, true)},
                                                      {"hash", JSON::MakeString(argv[4], true)},
                                                      {"size", JSON::MakeString(argv[5], true)}});
        ::DeleteFileW(wideOutput.c_str());
        return Utils::DownloadMedia(downloadContext, output, MediaInfo(json.get())) == 0;
    };
    enum Series { kNoTicket, kTicket, kResolving, kDriver, kBare, kNoCookies, kDownload, kBareDownload, kSeries };
    const struct {
        const char* name;
        Call call;
    } series[kSeries] = {
        {"CallWS without a ticket", callWebService(noTicket, true)},
        {"CallWS with a ticket", callWebService(withTicket, false)},
        {"CallWS with a ticket, resolving", callWebService(resolving, false)},
        {"WinINet driver GET", [&](const std::string& query) { return DriverGet(url + query); }},
        {"bare WinINet GET, driver's flags", [&](const std::string& query) { return BareGet(url + query, kDriverFlags); }},
        {"bare WinINet GET, + no cookies",
         [&](const std::string& query) { return BareGet(url + query, kDriverFlags | INTERNET_FLAG_NO_COOKIES); }},
        {"DownloadMedia", download},
        {"bare WinINet GET, download's flags",
         [&](const std::string& query) { return BareGet(downloadUrl + query, kDownloadFlags); }},
    };

    std::printf("%d calls each, after %d unmeasured ones\n", count, kWarmUp);
    for (const auto& one : series) Measure(one.name, one.call, count, true, false);
    // Past the bound of the table of resolutions, so that the figures are the lasting ones.
    for (std::size_t i = 0; i < ResolutionCache::kMaxEntries; ++i) series[kResolving].call("&fill=" + std::to_string(i));
    Figures perThread[kSeries];
    for (const bool threadPerCall : {false, true}) {
        for (int i = 0; i < kSeries; ++i) perThread[i] = Measure(series[i].name, series[i].call, count, threadPerCall, true);
    }
    ::DeleteFileW(wideOutput.c_str());
    // What the launcher keeps on top of WinINet itself, a URL a call on a thread per call.
    const auto beyond = [&](Series ours, Series bare) { return perThread[ours].heap - perThread[bare].heap; };
    std::printf("heap bytes kept per call beyond bare WinINet (goal: 0): CallWS without a ticket %.1f, with one %.1f, "
                "resolving %.1f, driver %.1f, DownloadMedia %.1f\n",
                beyond(kNoTicket, kBare), beyond(kTicket, kBare), beyond(kResolving, kBare), beyond(kDriver, kBare),
                beyond(kDownload, kBareDownload));
    std::printf("bare WinINet itself keeps %.1f heap bytes per new URL (%.1f with INTERNET_FLAG_NO_COOKIES)\n",
                perThread[kBare].heap, perThread[kNoCookies].heap);
    return 0;
}
