#include "ZYNSysNLSEntry.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// Keeps its listeners but never calls them: its answer never changes.
class BootstrapProvider : public ZYNSysNLSProvider {
public:
    HRESULT GetSettings(ZYNSysNLSEntry* entry) override {
        if (!entry) return E_INVALIDARG;
        ZYNSysNLSBootstrapEntry(*entry);
        return 0;
    }
    HRESULT AddListener(ZYNSysNLSListener listener) override {
        if (!listener) return E_INVALIDARG;
        for (auto& slot : listeners_) {
            ZYNSysNLSListener expected = nullptr;
            if (slot.load() == listener) return 1;
            if (slot.compare_exchange_strong(expected, listener)) return 0;
            if (expected == listener) return 1;
        }
        return E_FAIL;
    }
    bool TranslateLangToBuffer(const char*, char*, std::size_t) override { return false; }
    bool IsInitializingOnCallingThread() override { return false; }

private:
    std::atomic<ZYNSysNLSListener> listeners_[4] = {};
};

BootstrapProvider& Bootstrap() {
    static BootstrapProvider provider;
    return provider;
}

std::atomic<ZYNSysNLSProvider*> g_installed{nullptr};

}  // namespace

ZYNSysNLSProvider& ZYNSysNLSGetProvider() {
    ZYNSysNLSProvider* installed = g_installed.load(std::memory_order_acquire);
    // Asked for, not registered by a static initialiser: no order of initialisers can miss it.
    return installed ? *installed : ZYNSysNLSSettingsProvider();
}

ZYNSysNLSProvider& ZYNSysNLSBootstrapProvider() { return Bootstrap(); }

ZYNSysNLSProvider* ZYNSysNLSSetProvider(ZYNSysNLSProvider* provider) {
    return g_installed.exchange(provider, std::memory_order_acq_rel);
}

void ZYNSysNLSBootstrapEntry(ZYNSysNLSEntry& entry) {
    std::memset(&entry, 0, sizeof entry);
    ZYNSysNLSCopyField(entry.language, "English");
    entry.decimalPoint[0] = L'.';
    wchar_t lang[64] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"LANG", lang, 64);
    const wchar_t* point = length > 0 && length < 64 ? std::wcschr(lang, L'.') : nullptr;
    if (point && std::wcscmp(point + 1, L"UTF-8") == 0) {
        ZYNSysNLSCopyField(entry.codePage, "UTF-8");
        entry.maxCharSize = 4;
        return;
    }
    const UINT ansi = ::GetACP();
    char number[16];
    std::snprintf(number, sizeof number, "%u", ansi);
    ZYNSysNLSCopyField(entry.codePage, number);
    CPINFO info{};
    entry.maxCharSize = ::GetCPInfo(ansi, &info) ? info.MaxCharSize : 1;
}
