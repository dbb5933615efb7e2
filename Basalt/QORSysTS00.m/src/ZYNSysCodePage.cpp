#include "ZYNSysCodePage.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ZYNSysAssert.h"
#include "ZYNSysTSDataQueue.h"
#include "ZYNSysUTF8.h"

namespace {

std::unique_ptr<char[]> CopyText(const char* text, std::size_t room) {
    std::unique_ptr<char[]> copy(new (std::nothrow) char[room]);
    if (copy) {
        const std::size_t length = std::min(std::strlen(text), room - 1);
        std::memcpy(copy.get(), text, length);
        copy[length] = '\0';
    }
    return copy;
}

// Converters superseded by a change of the settings. Strings on other threads may still be
// converting through them, so they stay allocated until the queue goes at exit.
class ParkedConverters : public ZYNSysTSDataQueue {
public:
    static ParkedConverters* Create() {
        auto* queue = new (std::nothrow) ParkedConverters;
        if (queue && !queue->Init(false, 0)) {
            queue->Release();
            return nullptr;
        }
        return queue;
    }

protected:
    ~ParkedConverters() override {
        void* item = nullptr;
        while (PopLast(&item, 0) == 1) delete static_cast<ZYNSysCodePage*>(item);
    }
};

// Outlives the owner below, so a change that comes after exit released the queue sees null
// and keeps its old converter instead of parking it in freed memory.
std::atomic<ParkedConverters*> g_parked{nullptr};

class ParkedOwner {
public:
    ParkedOwner() { g_parked.store(ParkedConverters::Create(), std::memory_order_release); }
    ~ParkedOwner() {
        if (ParkedConverters* queue = g_parked.exchange(nullptr, std::memory_order_acq_rel)) queue->Release();
    }
    ParkedOwner(const ParkedOwner&) = delete;
    ParkedOwner& operator=(const ParkedOwner&) = delete;
};

ParkedConverters* Parked() {
    static ParkedOwner owner;
    return g_parked.load(std::memory_order_acquire);
}

// Never deleted: threads may still convert through it while exit runs the static destructors.
std::atomic<ZYNSysCodePage*> g_current{nullptr};

// What every conversion falls back to when no converter can be allocated.
ZYNSysCodePage& Fallback() {
    static ZYNSysCodePage identity;
    return identity;
}

// The converter handed out while the settings initialise on the calling thread; never current.
ZYNSysCodePage& Bootstrap() {
    static ZYNSysCodePage bootstrap;
    static const bool made = [] {
        ZYNSysNLSEntry entry;
        ZYNSysNLSBootstrapEntry(entry);
        bootstrap.Create(entry.codePage, entry.maxCharSize, nullptr);
        return true;
    }();
    (void)made;
    return bootstrap;
}

void ListenToSettings(const ZYNSysNLSEntry* entry) { ZYNSysCodePage::OnNLSChange(entry); }

std::atomic<int> g_registration{0};

BOOL CALLBACK RegisterOnce(PINIT_ONCE, PVOID, PVOID*) {
    g_registration = ZYNSysCodePage::RegisterNLSCallback();
    return TRUE;
}

void EnsureRegistered() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    ::InitOnceExecuteOnce(&once, &RegisterOnce, nullptr, nullptr);
}

void Warn(const char* text) { std::fputs(text, stderr); }

// Cuts code-page bytes at the last character that ends within room.
std::size_t CutAtCharacter(UINT codePage, const char* bytes, std::size_t length, std::size_t room) {
    const char* p = bytes;
    const char* end = bytes + length;
    while (p < end) {
        const char* next = ::CharNextExA(static_cast<WORD>(codePage), p, 0);
        if (next <= p) next = p + 1;
        if (static_cast<std::size_t>(next - bytes) > room) break;
        p = next;
    }
    return static_cast<std::size_t>(p - bytes);
}

}  // namespace

ZYNSysCodePage::ZYNSysCodePage(std::uint32_t maxCharSize)
    : m_name(CopyText("Identity", 9)), m_localeName(CopyText("C", kLocaleNameSize)), m_maxCharSize(maxCharSize) {}

ZYNSysCodePage::~ZYNSysCodePage() = default;

bool ZYNSysCodePage::SetName(const char* name) {
    auto copy = CopyText(name, std::strlen(name) + 1);
    if (!copy) return false;
    m_name = std::move(copy);
    return true;
}

HRESULT ZYNSysCodePage::Create(const char* name, std::uint32_t maxCharSize, const char* language) {
    m_maxCharSize = maxCharSize;
    if (name && m_name && std::strcmp(name, m_name.get()) == 0) return S_OK;
    if (m_localeName) std::strcpy(m_localeName.get(), "C");
    m_utf8 = 0;
    HRESULT result = E_FAIL;
    if (name) {
        m_codePage = std::strcmp(name, "UTF-8") == 0 ? 65001u : static_cast<UINT>(std::strtoul(name, nullptr, 10));
        if (::IsValidCodePage(m_codePage)) result = S_OK;
    }
    if (SUCCEEDED(result)) {
        if (m_codePage == 65001) {
            m_utf8 = 1;
            m_maxCharSize = 4;
            m_toUC2 = &_UTF8toUC2;
            m_fromUC2 = &_UC2toUTF8;
        } else {
            m_toUC2 = &_CPtoUC2;
            m_fromUC2 = &_UC2toCP;
        }
        if (language) {
            if (!m_localeName) m_localeName = CopyText("C", kLocaleNameSize);
            if (m_localeName) {
                char translated[kLocaleNameSize] = {};
                if (ZYNSysNLSGetProvider().TranslateLangToBuffer(language, translated, sizeof translated)) {
                    translated[kLocaleNameSize - 1] = '\0';
                    std::strcpy(m_localeName.get(), translated);
                }
            }
        }
    } else {
        m_toUC2 = &_IdentityToUC2;
        m_fromUC2 = &_UC2toIdentity;
    }
    SetName(SUCCEEDED(result) ? name : "Identity");
    return result;
}

ZYNSysCodePage* ZYNSysCodePage::GetCurrent() {
    if (ZYNSysCodePage* current = g_current.load(std::memory_order_acquire)) return current;
    ZYNSysNLSProvider& provider = ZYNSysNLSGetProvider();
    // The settings convert strings while they initialise; asking them again there would copy a
    // record that is still being written.
    if (provider.IsInitializingOnCallingThread()) return &Bootstrap();
    EnsureRegistered();
    ZYNSysNLSEntry entry{};
    provider.GetSettings(&entry);
    std::unique_ptr<ZYNSysCodePage> fresh(new (std::nothrow) ZYNSysCodePage(entry.maxCharSize));
    if (!fresh) return &Fallback();
    if (entry.codePage[0] == '\0') {
        ZYNSysAssertFailed("l_NLSEntry.codePage && strcmp(l_NLSEntry.codePage, \"\")",
                           "Basalt\\QORSysTS00.m\\src\\ZYNSysCodePage", 143);
        fresh->Create(nullptr, entry.maxCharSize, nullptr);
    } else {
        fresh->Create(entry.codePage, entry.maxCharSize, entry.langString);
    }
    ZYNSysCodePage* installed = nullptr;
    if (g_current.compare_exchange_strong(installed, fresh.get(), std::memory_order_acq_rel)) return fresh.release();
    return installed;
}

int ZYNSysCodePage::RegisterNLSCallback() {
    try {
        const HRESULT result = ZYNSysNLSGetProvider().AddListener(&ListenToSettings);
        return result == 0 || result == 1 ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void ZYNSysCodePage::OnNLSChange(const ZYNSysNLSEntry* entry) {
    if (!entry) return;
    std::unique_ptr<ZYNSysCodePage> fresh(new (std::nothrow) ZYNSysCodePage(entry->maxCharSize));
    if (!fresh) return;
    fresh->Create(entry->codePage, entry->maxCharSize, entry->langString);
    ZYNSysCodePage* previous = g_current.exchange(fresh.release(), std::memory_order_acq_rel);
    if (!previous) return;
    ParkedConverters* parked = Parked();
    // Without the queue the old converter is kept for good rather than freed under a reader.
    if (parked) parked->PushFirst(previous, -1);
}

long ZYNSysCodePage::ToUC2(ZYNSysCodePage* converter, const char* bytes, long size, wchar_t* dest, long* count) {
    const char* source = bytes;
    long remaining = size;
    long produced = 0;
    const long result = converter->m_toUC2(converter, &source, &remaining, dest, &produced);
    if (count) *count = produced < 0 ? 0 : produced;
    return result;
}

long ZYNSysCodePage::FromUC2(ZYNSysCodePage* converter, const wchar_t* units, long count, char* dest,
                             std::size_t capacity, std::size_t* bytes) {
    std::size_t written = 0;
    const long result = converter->m_fromUC2(converter, units, count, dest, capacity, &written);
    if (bytes) *bytes = written;
    return result;
}

long ZYNSysCodePage::_CPtoUC2(ZYNSysCodePage* converter, const char** source, long* size, wchar_t* dest,
                              long* count) {
    const long limit = *count;
    *count = 0;
    const UINT codePage = converter->m_codePage;
    if (limit <= 0) {
        if (!*source || *size <= 0) {
            if (dest) dest[0] = 0;
            return 0;
        }
        const int room = ::MultiByteToWideChar(codePage, 0, *source, *size, nullptr, 0);
        const int produced = ::MultiByteToWideChar(codePage, 0, *source, *size, dest, room);
        *count = produced;
        return produced;
    }
    if (!dest) return -1;
    if (!*source) {
        dest[0] = 0;
        return -1;
    }
    const char* start = *source;
    const char* end = start + *size;
    const char* p = start;
    long walked = 0;
    while (walked < limit && p < end) {
        // A lead byte last: CharNextExA would read the byte after the end to step over it.
        const bool leadLast = p + 1 == end && ::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(*p));
        const char* next = leadLast ? nullptr : ::CharNextExA(static_cast<WORD>(codePage), p, 0);
        if (!leadLast && next <= p) next = p + 1;  // a NUL inside the text is one character
        if (leadLast || next > end) {
            // The last character runs over the size given.
            Warn("WARNING: ZYNSysCodePage::_CPtoUC2 might have read uninitialized memory... The input string must be "
                 "corrupted!\n");
            break;
        }
        p = next;
        ++walked;
    }
    const long taken = static_cast<long>(p - start);
    const int produced = taken > 0 ? ::MultiByteToWideChar(codePage, 0, start, taken, dest, walked) : 0;
    *count = produced;
    if (produced > limit) Warn("WARNING: ZYNSysCodePage::_CPtoUC2 has overflowed opDest buffer.\n");
    std::fflush(stderr);
    *source += taken;
    *size -= taken;
    if (*size == 0) {
        *source = nullptr;
    } else if (produced == 0) {
        return -1;
    }
    return produced;
}

long ZYNSysCodePage::_UC2toCP(ZYNSysCodePage* converter, const wchar_t* source, long count, char* dest,
                              std::size_t capacity, std::size_t* bytes) {
    *bytes = 0;
    if (!source || count <= 0) {
        if (dest && capacity > 0) dest[0] = '\0';
        return 0;
    }
    const UINT codePage = converter->m_codePage;
    const int needed = ::WideCharToMultiByte(codePage, 0, source, count, nullptr, 0, nullptr, nullptr);
    if (!dest) {
        *bytes = static_cast<std::size_t>(needed);
        return needed;
    }
    if (capacity == 0) return -1;
    if (needed <= 0) {
        dest[0] = '\0';
        return -1;
    }
    if (static_cast<std::size_t>(needed) < capacity) {
        const int written = ::WideCharToMultiByte(codePage, 0, source, count, dest, needed, nullptr, nullptr);
        dest[written] = '\0';
        *bytes = static_cast<std::size_t>(written);
        return written;
    }
    // Too long for the room: convert aside and keep the characters that fit whole.
    std::unique_ptr<char[]> whole(new (std::nothrow) char[static_cast<std::size_t>(needed)]);
    if (!whole) {
        dest[0] = '\0';
        return -1;
    }
    const int written = ::WideCharToMultiByte(codePage, 0, source, count, whole.get(), needed, nullptr, nullptr);
    const std::size_t kept = CutAtCharacter(codePage, whole.get(), static_cast<std::size_t>(written), capacity - 1);
    std::memcpy(dest, whole.get(), kept);
    dest[kept] = '\0';
    *bytes = kept;
    return static_cast<long>(kept);
}

long ZYNSysCodePage::_UTF8toUC2(ZYNSysCodePage*, const char** source, long* size, wchar_t* dest, long* count) {
    const long limit = *count;
    *count = 0;
    if (!dest) return -1;
    if (!*source || *size <= 0) {
        dest[0] = 0;
        return 0;
    }
    const std::size_t bytes = static_cast<std::size_t>(*size);
    std::size_t consumed = 0;
    const std::size_t room = limit <= 0 ? bytes : static_cast<std::size_t>(limit);
    const std::size_t produced = ZYNSysUTF8::Decode(*source, bytes, dest, room, &consumed);
    if (limit <= 0 || produced < room) dest[produced] = 0;
    *count = static_cast<long>(produced);
    if (limit > 0) {
        *source += consumed;
        *size -= static_cast<long>(consumed);
    }
    return static_cast<long>(produced);
}

long ZYNSysCodePage::_UC2toUTF8(ZYNSysCodePage*, const wchar_t* source, long count, char* dest, std::size_t capacity,
                                std::size_t* bytes) {
    *bytes = 0;
    const std::size_t units = source && count > 0 ? static_cast<std::size_t>(count) : 0;
    if (!dest) {
        *bytes = ZYNSysUTF8::EncodedSize(source, units);
        return static_cast<long>(*bytes);
    }
    if (capacity == 0) return -1;
    const std::size_t written = ZYNSysUTF8::Encode(source, units, dest, capacity - 1);
    dest[written] = '\0';
    *bytes = written;
    return static_cast<long>(written);
}

long ZYNSysCodePage::_IdentityToUC2(ZYNSysCodePage*, const char** source, long* size, wchar_t* dest, long* count) {
    const bool bounded = *count > 0;
    const long limit = bounded ? *count : *size;
    *count = 0;
    if (!dest) return -1;
    if (!*source || *size <= 0) {
        dest[0] = 0;
        return 0;
    }
    const long copied = std::min(limit, *size);
    const auto* bytes = reinterpret_cast<const unsigned char*>(*source);
    for (long i = 0; i < copied; ++i) dest[i] = bytes[i];
    if (copied == *size && (!bounded || copied < limit)) dest[copied] = 0;
    *source += copied;
    *size -= copied;
    *count = copied;
    return copied;
}

long ZYNSysCodePage::_UC2toIdentity(ZYNSysCodePage*, const wchar_t* source, long count, char* dest,
                                    std::size_t capacity, std::size_t* bytes) {
    const std::size_t units = source && count > 0 ? static_cast<std::size_t>(count) : 0;
    if (!dest) {
        *bytes = units;
        return static_cast<long>(units);
    }
    *bytes = 0;
    if (capacity == 0) return -1;
    const std::size_t written = std::min(units, capacity - 1);
    for (std::size_t i = 0; i < written; ++i) {
        const wchar_t unit = source[i];
        const char low = static_cast<char>(unit & 0xFF);
        // A unit such as U+0100 would otherwise put a NUL inside the text and cut it short.
        dest[i] = low == '\0' && unit != 0 ? '?' : low;
    }
    dest[written] = '\0';
    *bytes = written;
    return static_cast<long>(written);
}

long ZYNSysCodePageConvertCurrent(const wchar_t* units, long count, char* dest, std::size_t capacity,
                                  std::size_t* bytes) {
    std::size_t written = 0;
    const long result = ZYNSysCodePage::FromUC2(ZYNSysCodePage::GetCurrent(), units, count, dest, capacity, &written);
    if (bytes) *bytes = written;
    return result;
}

int ZYNSysUTF8ToUTF16(const char* bytes, long count, wchar_t* dest, long* units) {
    std::size_t produced = 0;
    if (bytes && dest && count > 0)
        produced = ZYNSysUTF8::Decode(bytes, static_cast<std::size_t>(count), dest, static_cast<std::size_t>(count));
    if (units) *units = static_cast<long>(produced);
    return 0;
}

int ZYNSysCodePageRegistrationStatus() { return g_registration.load(); }

int ZYNSysCodePageParkedCount() {
    ParkedConverters* parked = Parked();
    return parked ? parked->GetCurrentLength() : 0;
}
