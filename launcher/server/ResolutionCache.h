#pragma once
// The authentication service found for each target URL of "CallWS", for the life of the
// process. Target URLs come from clients, each with its own query: the table keeps at most
// kMaxEntries of them, the first ones resolved, and a URL that finds it full is resolved again
// on each call instead of being kept.

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

class ResolutionCache {
public:
    static constexpr std::size_t kMaxEntries = 256;

    // Empty when the URL was never resolved.
    std::string Find(const std::string& url);
    // A first resolution stays; only a missing or empty entry takes the new one.
    void Store(const std::string& url, const std::string& resolved);
    std::size_t Size();

private:
    std::mutex mutex_;
    std::map<std::string, std::string> entries_;
};
