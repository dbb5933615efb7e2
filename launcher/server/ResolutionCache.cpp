#include "ResolutionCache.h"

std::string ResolutionCache::Find(const std::string& url) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = entries_.find(url);
    return found != entries_.end() ? found->second : std::string();
}

void ResolutionCache::Store(const std::string& url, const std::string& resolved) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = entries_.find(url);
    if (found != entries_.end()) {
        if (found->second.empty()) found->second = resolved;
        return;
    }
    if (entries_.size() < kMaxEntries) entries_.emplace(url, resolved);
}

std::size_t ResolutionCache::Size() {
    std::lock_guard<std::mutex> hold(mutex_);
    return entries_.size();
}
