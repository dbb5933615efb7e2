// The raw-socket driver beside the WinINet driver on one body each: a chunked one and one read
// until the server closes, both from the local test server. Prints one line per driver and body:
//   "<driver> <name>: <MB> MB in <s> s: <rate> MB/s"
// Usage: raw_driver_bench <chunked url> <close url> <body bytes> [rounds]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "QORHttpQXDriver.h"
#include "QORHttpWDriver.h"

namespace {

template <typename Driver>
double Seconds(const char* url, std::uint64_t expected, bool* ok) {
    Driver driver("raw driver bench", 1, 1);
    const std::uint32_t ms = 60000;
    for (std::uint32_t option : {6u, 5u, 2u}) driver.SetOptions(option, &ms, 4);
    const auto start = std::chrono::steady_clock::now();
    char* body = nullptr;
    std::uint64_t length = 0;
    const HRESULT rc = driver.Get(url, 0, &body, &length, nullptr);
    const auto end = std::chrono::steady_clock::now();
    std::free(body);
    *ok = rc == 0 && length == expected;
    if (!*ok) std::fprintf(stderr, "%s: rc 0x%x, %llu bytes\n", url, static_cast<unsigned>(rc),
                           static_cast<unsigned long long>(length));
    return std::chrono::duration<double>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: raw_driver_bench <chunked url> <close url> <body bytes> [rounds]\n");
        return 2;
    }
    const std::uint64_t expected = std::strtoull(argv[3], nullptr, 10);
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
    const double mb = static_cast<double>(expected) / 1e6;
    struct Body {
        const char* name;
        const char* url;
    } bodies[] = {{"chunked", argv[1]}, {"until close", argv[2]}};
    for (const Body& b : bodies) {
        double best[2] = {1e9, 1e9};
        for (int round = 0; round < rounds; ++round) {
            bool ok = false;
            const double raw = Seconds<QORHttpQXDriver>(b.url, expected, &ok);
            if (!ok) return 1;
            const double wininet = Seconds<QORHttpWDriver>(b.url, expected, &ok);
            if (!ok) return 1;
            if (raw < best[0]) best[0] = raw;
            if (wininet < best[1]) best[1] = wininet;
        }
        std::printf("raw %s: %.1f MB in %.3f s: %.1f MB/s\n", b.name, mb, best[0], mb / best[0]);
        std::printf("wininet %s: %.1f MB in %.3f s: %.1f MB/s\n", b.name, mb, best[1], mb / best[1]);
    }
    return 0;
}
