#include "QORHttpSharedSetting.h"

#include <cstdlib>
#include <cstring>

#include "QORHttpLockHold.h"
#include "QORResourceLock.h"
#include "ZYNSysPtrHashTable.h"

namespace {

struct SharedSetting {
    std::uint32_t hash;
    const char* name;
    std::uint32_t first;
    std::uint32_t second;
    const char* text;
};

std::uint32_t NameHash(const char* name) {
    std::uint32_t h = 5381;
    for (; *name != '\0'; ++name) h = h * 33 + static_cast<std::uint32_t>(static_cast<signed char>(*name));
    return h;
}

QORResourceLock& SettingsLock() {
    static QORResourceLock lock;
    return lock;
}

// Keyed by the name's hash; guarded by SettingsLock(). Nothing creates it.
ZYNSysPtrHashTable* g_settings = nullptr;

}  // namespace

HRESULT GetSharedSetting(const char* name, std::uint32_t* outFirst, std::uint32_t* outSecond,
                         wchar_t** outValue) noexcept {
    if (outValue != nullptr) *outValue = nullptr;
    QORHttpReadHold hold(SettingsLock());
    if (g_settings == nullptr || name == nullptr) return E_FAIL;
    const std::uint32_t hash = NameHash(name);
    const SharedSetting* found = static_cast<const SharedSetting*>(g_settings->FindByHash(hash));
    // The hash alone would answer another setting's value.
    while (found != nullptr && std::strcmp(found->name, name) != 0) {
        found = static_cast<const SharedSetting*>(g_settings->FindNextSameHash(found));
    }
    if (found == nullptr) return static_cast<HRESULT>(0x80070002);
    if (outFirst != nullptr) *outFirst = found->first;
    if (outSecond != nullptr) *outSecond = found->second;
    if (outValue != nullptr && found->text != nullptr) {
        const int length = ::MultiByteToWideChar(CP_UTF8, 0, found->text, -1, nullptr, 0);
        if (length <= 0) return E_FAIL;
        auto* wide = static_cast<wchar_t*>(std::malloc(sizeof(wchar_t) * static_cast<std::size_t>(length)));
        if (wide == nullptr) return E_OUTOFMEMORY;
        ::MultiByteToWideChar(CP_UTF8, 0, found->text, -1, wide, length);
        *outValue = wide;
    }
    return S_OK;
}
