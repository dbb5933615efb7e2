// JSON parse and compact-write speed beside nlohmann::ordered_json, measured in the same
// run on the same texts: a typical 200-byte pipe request and a 1 MB document.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Json.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string MakeRequest() {
    return R"({"op": "run", "cinfo": {"cOrdanaId": "7f1c2a9e-55b1-4c1e-9a0b-3d2f1e0c4b7a", "cVersion": "2.3"}, )"
           R"("args": {"action": "Execute", "cmd": ["C:\\Program Files\\Varomet\\app.exe", "--open"], "timeout": 30}})";
}

// An array of media-like records, about 1 MB, with escapes, UTF-8, numbers and nesting.
std::string MakeDocument() {
    std::string text = "[";
    for (int i = 0; text.size() < 1000000; ++i) {
        if (i) text += ", ";
        std::string n = std::to_string(i);
        text += R"({"fileName": "kit_)" + n + R"(.msi", "downloadLink": "https://media.example.test/kits/)" + n +
                R"(/kit.msi", "hash": "9e107d9d372bb6826bd81d3542a419d6", "size": )" + std::to_string(1048576 + i) +
                R"(, "description": "Kit \")" + n + R"(\" for caf\u00e9 \u2014 line\nbreak", "ratio": 0.75, )"
                R"("enabled": true, "extra": null, "tags": ["setup", "x64", )" + n + "]}";
    }
    return text + "]";
}

struct Figure {
    double seconds = 0;  // median time of one operation
};

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Median over samples of batches long enough (about 2 ms) for the clock's resolution.
template <typename Fn>
Figure Measure(Fn&& fn, double budgetSeconds) {
    auto t0 = Clock::now();
    fn();  // warm-up
    std::size_t batch = 1;
    while (Since(t0) * static_cast<double>(batch) < 0.002) batch *= 2;
    std::vector<double> samples;
    auto start = Clock::now();
    do {
        auto t1 = Clock::now();
        for (std::size_t i = 0; i < batch; ++i) fn();
        samples.push_back(Since(t1) / static_cast<double>(batch));
    } while (Since(start) < budgetSeconds || samples.size() < 5);
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return {samples[samples.size() / 2]};
}

void Report(const char* what, std::size_t bytes, Figure ours, Figure theirs) {
    double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%-22s %10.1f MB/s %10.2f us | nlohmann %10.1f MB/s %10.2f us | ratio %5.2fx\n", what,
                mb / ours.seconds, ours.seconds * 1e6, mb / theirs.seconds, theirs.seconds * 1e6,
                theirs.seconds / ours.seconds);
}

void Run(const char* name, const std::string& text, double budget) {
    volatile std::size_t sink = 0;

    Figure parseOurs = Measure([&] {
        JSON::Builder builder;
        if (builder.ParseString(text) != 0) std::abort();
        sink = sink + builder.Detach()->Size();
    }, budget);
    Figure parseTheirs = Measure([&] {
        auto doc = nlohmann::ordered_json::parse(text);
        sink = sink + doc.size();
    }, budget);

    JSON::Builder builder;
    builder.ParseString(text);
    JSON::ValuePtr ours = builder.Detach();
    auto theirs = nlohmann::ordered_json::parse(text);
    Figure writeOurs = Measure([&] { sink = sink + ours->Dump().size(); }, budget);
    Figure writeTheirs = Measure([&] { sink = sink + theirs.dump().size(); }, budget);

    std::string label = std::string(name) + " parse";
    Report(label.c_str(), text.size(), parseOurs, parseTheirs);
    label = std::string(name) + " write";
    Report(label.c_str(), ours->Dump().size(), writeOurs, writeTheirs);
}

}  // namespace

int main() {
    std::printf("request is %zu bytes\n", MakeRequest().size());
    std::printf("JSON benchmark: median of repeated runs; ratio = nlohmann time / our time (higher is better)\n");
    Run("request (200 B)", MakeRequest(), 0.5);
    Run("document (1 MB)", MakeDocument(), 2.0);
    return 0;
}
