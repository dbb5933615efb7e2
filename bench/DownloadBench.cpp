// Throughput of Utils::DownloadMedia from a local HTTP server, MD5 check and move into place
// included (MB here is 2^20 bytes).
//   download_bench URL MD5 SIZE OUTPUT    one download to OUTPUT, removed afterwards, then the
//                                         same body read through WinINet alone in 64 KiB reads
//                                         (nothing written or hashed): the ceiling of the first
// bench/download_bench.sh serves the file and runs curl beside it.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Config.h"
#include "Json.h"
#include "LogSink.h"
#include "MediaInfo.h"
#include "OrdanaRequestInfo.h"
#include "ToolBox.h"
#include "Utils.h"
#include "ZYNSysInternetHandle.h"

namespace {

// The logger's own output would be timed too; errors still reach stderr.
class ErrorsOnly final : public LogSink {
public:
    void Log(int level, std::string_view message) override {
        if (level >= 40) std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
    }
    void LogDeferred(std::string_view message, int level) override { Log(level, message); }
    void ThrowEvent(int, std::string_view, std::uint16_t) override {}
};

// Seconds to read the whole body in blocks of the download's size; negative on failure.
double ReadOnly(const std::string& url) {
    ZYNSysInternetHandle session(::InternetOpenW(L"download_bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    const auto start = std::chrono::steady_clock::now();
    ZYNSysInternetHandle request(::InternetOpenUrlW(session.Get(), ToolBox::Utf8ToWide(url).c_str(), nullptr, 0,
                                                    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0));
    if (!request) return -1;
    std::vector<unsigned char> buffer(65536);
    DWORD count = 0;
    while (::InternetReadFile(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count) && count) {
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: download_bench URL MD5 SIZE OUTPUT\n");
        return 2;
    }
    ErrorsOnly sink;
    ScopedLogSink installedSink(sink);
    // Test mode: plain http without the secure flag.
    Config::Init("");
    Config::ActivateOption(ConfigOption::TEST_MODE);

    const JSON::ValuePtr json = JSON::MakeObject({{"fileName", JSON::MakeString("bench.bin", true)},
                                                  {"downloadLink", JSON::MakeString(argv[1], true)},
                                                  {"hash", JSON::MakeString(argv[2], true)},
                                                  {"size", JSON::MakeString(argv[3], true)}});
    const MediaInfo media(json.get());
    const std::string output = argv[4];
    ::DeleteFileW(ToolBox::Utf8ToWide(output).c_str());

    OrdanaRequestInfo context;
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t rc = Utils::DownloadMedia(context, output, media);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::DeleteFileW(ToolBox::Utf8ToWide(output).c_str());
    installedSink.Restore();
    if (rc != 0) {
        std::fprintf(stderr, "DownloadMedia answered %d\n", rc);
        return 1;
    }
    const double megabytes = static_cast<double>(media.size) / (1 << 20);
    std::printf("DownloadMedia md5 %s: %.0f MB in %.3f s: %.1f MB/s\n", argv[2], megabytes, seconds,
                megabytes / seconds);
    const double readOnly = ReadOnly(argv[1]);
    if (readOnly > 0) std::printf("WinINet reads alone: %.0f MB in %.3f s: %.1f MB/s\n", megabytes, readOnly,
                                  megabytes / readOnly);
    return 0;
}
