// QORSysGetCookie for one url with 1000 cookies stored over 50 domains (20 on the url's host),
// without the WinINet import (flag 4) and with it (one jar read per folder of the url), beside
// one InternetGetCookieExA of the same url, measured in the same run. Goal: with flag 4 no
// slower than one InternetGetCookieExA; the import figure is reported. Best of five rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QORHttpCookie.h"
#include "ZYNSysWin.h"

#include <wininet.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kDomains = 50;
constexpr int kPerDomain = 20;

// Under Wine a jar read takes milliseconds: the calls that read the jar run fewer times.
template <typename Call>
double MicrosecondsPerCall(int calls, Call call) {
    double best = 1e12;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) call();
        best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / calls);
    }
    return best;
}

}  // namespace

int main() {
    for (int d = 0; d < kDomains; ++d) {
        const std::string url = "https://d" + std::to_string(d) + ".cookie-bench.test/";
        for (int c = 0; c < kPerDomain; ++c) {
            const std::string line = "name" + std::to_string(c) + "=value" + std::to_string(d * 100 + c);
            if (QORSysSetCookie(url.c_str(), line.c_str(), 0) != S_OK) {
                std::fprintf(stderr, "cannot store %s for %s\n", line.c_str(), url.c_str());
                return 1;
            }
        }
    }
    const std::string url = "https://d7.cookie-bench.test/a/b/page";
    std::size_t sink = 0;
    auto get = [&](unsigned long flags) {
        char* text = nullptr;
        if (QORSysGetCookie(url.c_str(), nullptr, &text, flags) == S_OK) sink += std::strlen(text);
        std::free(text);
    };
    const double reference = MicrosecondsPerCall(20, [&] {
        char buffer[4096];
        DWORD size = sizeof(buffer);
        if (::InternetGetCookieExA(url.c_str(), nullptr, buffer, &size, INTERNET_COOKIE_HTTPONLY, nullptr)) sink += size;
    });
    const double stored = MicrosecondsPerCall(2000, [&] { get(4); });
    const double imported = MicrosecondsPerCall(5, [&] { get(0); });
    std::printf("%-56s %9.2f us\n", "InternetGetCookieExA (20 cookies)", reference);
    std::printf("%-56s %9.2f us  (ratio %.2f)\n", "QORSysGetCookie flag 4 (1000 cookies, 50 domains)", stored,
                reference / stored);
    std::printf("%-56s %9.2f us  (%.1fx the reference)\n", "QORSysGetCookie with the jar import (3 folders)",
                imported, imported / reference);
    std::printf("(%zu bytes read)\n", sink);
    return 0;
}
