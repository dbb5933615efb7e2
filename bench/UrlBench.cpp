// QORSysCodeUrl (the drivers' mode) then QORSysCrackUrl of the encoded text over 100,000 URLs,
// beside InternetCrackUrlA of the same URLs, measured in the same run (goal: encoding plus
// cracking at most 2x the reference). Each figure is the best of five rounds.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "QORHttpTools.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kUrls = 100'000;

// Hosts, ports, user information, paths with blanks and escapes, queries and fragments.
std::vector<std::string> MakeUrls() {
    const char* const schemes[] = {"http://", "https://"};
    const char* const paths[] = {"/", "/index.html", "/api/authenticated/user/me", "/My Documents/report 2024.pdf",
                                 "/media/%C3%A9t%C3%A9/file.zip", "/a/b/c/d/e/f/g/h"};
    const char* const queries[] = {"", "?id=42", "?q=hello world&lang=fr", "?ticket=ST-1234-abcdefghij&service=x",
                                   "?x=1#section 2"};
    std::vector<std::string> urls;
    urls.reserve(kUrls);
    for (int i = 0; i < kUrls; ++i) {
        std::string url = schemes[i % 2];
        if (i % 17 == 0) url += "user:secret@";
        url += "host" + std::to_string(i % 997) + ".example.com";
        if (i % 5 == 0) url += ":" + std::to_string(8000 + i % 1000);
        url += paths[i % 6];
        url += queries[i % 5];
        urls.push_back(std::move(url));
    }
    return urls;
}

URL_COMPONENTSA AskAll() {
    URL_COMPONENTSA c{};
    c.dwStructSize = sizeof c;
    c.dwSchemeLength = c.dwHostNameLength = c.dwUserNameLength = c.dwPasswordLength = 1;
    c.dwUrlPathLength = c.dwExtraInfoLength = 1;
    return c;
}

template <typename Step>
double NanosecondsPerUrl(const std::vector<std::string>& urls, Step step, std::uint64_t& sink) {
    double best = 1e18;
    for (int round = 0; round < 5; ++round) {
        const auto t0 = Clock::now();
        for (const std::string& url : urls) sink += step(url);
        best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / urls.size());
    }
    return best;
}

}  // namespace

int main() {
    const std::vector<std::string> urls = MakeUrls();
    std::uint64_t sink = 0;
    std::uint64_t failures = 0;
    const double theirs = NanosecondsPerUrl(
        urls,
        [&](const std::string& url) -> std::uint64_t {
            URL_COMPONENTSA c = AskAll();
            if (!::InternetCrackUrlA(url.c_str(), 0, 0, &c)) {
                ++failures;
                return 0;
            }
            return c.nPort + c.dwHostNameLength;
        },
        sink);
    const double mine = NanosecondsPerUrl(
        urls,
        [&](const std::string& url) -> std::uint64_t {
            char* encoded = nullptr;
            if (QORSysCodeUrl(url.c_str(), &encoded, QORHTTP_URL_DEFAULT_MODE) != 0) {
                ++failures;
                return 0;
            }
            URL_COMPONENTSA c = AskAll();
            const HRESULT hr = QORSysCrackUrl(encoded, 0, 0, &c);
            const std::uint64_t result = hr == 0 ? c.nPort + c.dwHostNameLength : 0;
            if (hr != 0) ++failures;
            std::free(encoded);
            return result;
        },
        sink);
    std::printf("%-52s %8.1f ns\n", "InternetCrackUrlA", theirs);
    std::printf("%-52s %8.1f ns  (%.2fx the reference)\n", "QORSysCodeUrl + QORSysCrackUrl", mine, mine / theirs);
    std::printf("(%d URLs, %llu failures, checksum %llu)\n", kUrls, static_cast<unsigned long long>(failures),
                static_cast<unsigned long long>(sink));
    return 0;
}
