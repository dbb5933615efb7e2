#include "ResolutionCache.h"

std::string ResolutionCache::Find(const std::string& url) {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = index_.find(url);
    if (found == index_.end()) return {};
    entries_.splice(entries_.begin(), entries_, found->second);
    return found->second->resolved;
}

void ResolutionCache::Store(const std::string& url, const std::string& resolved) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (const auto found = index_.find(url); found != index_.end()) {
        Entry& entry = *found->second;
        if (entry.resolved.empty()) {
            bytes_ += resolved.size();
            entry.resolved = resolved;
        }
        entries_.splice(entries_.begin(), entries_, found->second);
    } else {
        const std::size_t size = url.size() + resolved.size();
        // One that alone outgrows the table would only empty it.
        if (size > kMaxBytes) return;
        entries_.push_front(Entry{url, resolved});
        index_.emplace(entries_.front().url, entries_.begin());
        bytes_ += size;
    }
    while (entries_.size() > kMaxEntries || bytes_ > kMaxBytes) {
        const Entry& last = entries_.back();
        bytes_ -= last.url.size() + last.resolved.size();
        index_.erase(last.url);
        entries_.pop_back();
    }
}

std::size_t ResolutionCache::Size() {
    std::lock_guard<std::mutex> hold(mutex_);
    return entries_.size();
}

std::size_t ResolutionCache::Bytes() {
    std::lock_guard<std::mutex> hold(mutex_);
    return bytes_;
}
