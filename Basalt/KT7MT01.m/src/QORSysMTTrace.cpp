#include "QORSysMTTrace.h"

#include <atomic>
#include <cstdint>
#include <new>

namespace {

// Allocated once per initialisation and never freed: a reader may still hold an older one.
std::atomic<volatile std::uint32_t*> g_traceWord{nullptr};

}  // namespace

void QORSysMTTraceInit() {
    auto* word = new (std::nothrow) std::uint32_t(0);
    if (word) g_traceWord.store(word, std::memory_order_release);
}

void QORSysMTTrace(const char*, ...) {}

bool ZYNSysMTTraceOn() noexcept {
    volatile std::uint32_t* word = g_traceWord.load(std::memory_order_acquire);
    return word && *word != 0;
}
