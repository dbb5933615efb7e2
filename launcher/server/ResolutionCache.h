#pragma once
// The authentication service found for each target URL of "CallWS", for the life of the
// process. Target URLs come from clients, each with its own query, and a key may be as long as a
// request: the table is bounded by entries and by bytes, and keeps the URLs used last, so a URL
// in use is resolved once; the one used longest ago goes first.

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

class ResolutionCache {
public:
    static constexpr std::size_t kMaxEntries = 256;
    static constexpr std::size_t kMaxBytes = 512 * 1024;

    // Empty when the URL was never resolved, or no longer kept.
    std::string Find(const std::string& url);
    // A resolution kept stays; only a missing or empty entry takes the new one.
    void Store(const std::string& url, const std::string& resolved);
    std::size_t Size();
    std::size_t Bytes();

private:
    struct Entry {
        std::string url;
        std::string resolved;
    };

    std::mutex mutex_;
    std::list<Entry> entries_;  // the one used last first
    std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;  // views of entries_' urls
    std::size_t bytes_ = 0;
};
