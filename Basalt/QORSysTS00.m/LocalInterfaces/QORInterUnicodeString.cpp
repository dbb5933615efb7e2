#include "QORInterUnicodeString.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <cwchar>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "ZYNDebugBreak.h"
#include "ZYNSysAssert.h"
#include "ZYNSysCodePage.h"
#include "ZYNSysStringPool.h"
#include "ZYNSysUTF8.h"

namespace {

struct Rep {
    std::atomic<void*> other;
    std::int32_t length;
    std::uint32_t capacity;
    std::uint32_t reserved;
    std::atomic<std::int32_t> refs;
    std::atomic<std::uint16_t> flags;
};

constexpr std::int64_t kHeader = 32;
static_assert(sizeof(Rep) == kHeader, "the characters start 32 bytes into a representation");
constexpr std::uint16_t kWide = 1;
constexpr std::uint16_t kStored = 2;
// Longer results would wrap the 32-bit length and the block size: refused, the string unchanged.
constexpr std::int64_t kMaxUnits = INT32_MAX - kHeader;
// The cached other form: a 32-bit length, then the characters.
constexpr std::size_t kOtherHeader = 4;

// Both forms of the empty string exist without allocation.
alignas(8) unsigned char g_emptyOther[8] = {};
struct EmptyRep {
    Rep rep;
    unsigned char text[8];
};
EmptyRep g_empty{{{g_emptyOther}, 0, 0, 0, {1}, {0}}, {}};

Rep* EmptyRepresentation() { return &g_empty.rep; }
bool IsEmptyRep(const Rep* rep) { return rep == &g_empty.rep; }
Rep* RepOf(const void* data) {
    return reinterpret_cast<Rep*>(static_cast<char*>(const_cast<void*>(data)) - kHeader);
}
void* DataOf(Rep* rep) { return reinterpret_cast<char*>(rep) + kHeader; }
bool IsWide(const Rep* rep) { return (rep->flags.load(std::memory_order_relaxed) & kWide) != 0; }
std::int64_t UnitSize(bool wide) { return wide ? 2 : 1; }
std::size_t RoundUp8(std::int64_t n) { return static_cast<std::size_t>((n + 7) & ~std::int64_t{7}); }
std::size_t RepBlockSize(const Rep* rep) {
    return static_cast<std::size_t>(kHeader + std::int64_t{rep->capacity} * UnitSize(IsWide(rep)));
}
std::size_t OtherBlockSize(std::int32_t length, bool otherWide) {
    return RoundUp8(static_cast<std::int64_t>(kOtherHeader) + (std::int64_t{length} + 1) * UnitSize(otherWide));
}
const char* Chars(Rep* rep) { return static_cast<const char*>(DataOf(rep)); }
const wchar_t* Units(Rep* rep) { return static_cast<const wchar_t*>(DataOf(rep)); }

// A representation for n units (n >= 1), or the shared empty one when the heap has no room.
Rep* Allocate(std::int64_t n, bool wide) {
    if (n < 1 || n > kMaxUnits) return EmptyRepresentation();
    const std::int64_t unit = UnitSize(wide);
    const std::size_t size = RoundUp8(kHeader + (n + 1) * unit);
    void* block = ZYNSysStringPool::Allocate(size);
    if (!block) return EmptyRepresentation();
    auto* rep = static_cast<Rep*>(block);
    new (&rep->other) std::atomic<void*>(nullptr);
    rep->length = 0;
    rep->capacity = static_cast<std::uint32_t>((static_cast<std::int64_t>(size) - kHeader) / unit);
    rep->reserved = 0;
    new (&rep->refs) std::atomic<std::int32_t>(1);
    new (&rep->flags) std::atomic<std::uint16_t>(wide ? kWide : 0);
    return rep;
}

void AddRef(Rep* rep) {
    if (!IsEmptyRep(rep)) rep->refs.fetch_add(1, std::memory_order_relaxed);
}

bool InTRQ() {
    static const bool set = ::GetEnvironmentVariableA("WEX_TRQ_IN", nullptr, 0) > 0;
    return set;
}

// The size the cached form was allocated with: a UTF-16 form is reserved for one unit a byte
// of the text, however few units the conversion gave.
std::size_t OtherAllocationSize(const Rep* rep, const void* other) {
    if (!IsWide(rep)) return OtherBlockSize(rep->length, true);
    std::int32_t length = 0;
    std::memcpy(&length, other, sizeof length);
    return OtherBlockSize(length, false);
}

void FreeOther(Rep* rep) {
    void* other = rep->other.load(std::memory_order_acquire);
    if (!other || other == g_emptyOther) return;
    if (rep->refs.load(std::memory_order_acquire) > 1) {
        // Other holders may be reading it: only forget it.
        if (InTRQ())
            ZYNSysAssertFailed("!IsInTRQ()", "Basalt\\QORSysTS00.m\\LocalInterfaces\\QORInterUnicodeString", 1597);
        rep->other.store(nullptr, std::memory_order_release);
        return;
    }
    rep->other.store(nullptr, std::memory_order_relaxed);
    ZYNSysStringPool::Free(other, OtherAllocationSize(rep, other));
}

void ReleaseRep(Rep* rep) {
    if (!rep || IsEmptyRep(rep)) return;
    if (rep->refs.fetch_sub(1, std::memory_order_acq_rel) > 1) return;
    FreeOther(rep);
    ZYNSysStringPool::Free(rep, RepBlockSize(rep));
}

void Finish(Rep* rep, std::int64_t length) {
    // Before the length changes: the cached form's block size follows the old length.
    FreeOther(rep);
    rep->length = static_cast<std::int32_t>(length);
    if (IsWide(rep))
        static_cast<wchar_t*>(DataOf(rep))[length] = 0;
    else
        static_cast<char*>(DataOf(rep))[length] = 0;
    rep->flags.fetch_or(kStored, std::memory_order_relaxed);
}

// Stores n units of the given form: in place only when the representation is of that form,
// unshared and large enough, else into a new one.
void Store(void*& data, const void* source, std::int64_t n, bool wide) {
    if (n > kMaxUnits) return;
    Rep* rep = RepOf(data);
    if (n < 1 || !source) {
        ReleaseRep(rep);
        data = DataOf(EmptyRepresentation());
        return;
    }
    const std::int64_t unit = UnitSize(wide);
    if (!IsEmptyRep(rep) && IsWide(rep) == wide && rep->refs.load(std::memory_order_acquire) < 2 &&
        n <= std::int64_t{rep->capacity} - 1) {
        std::memmove(DataOf(rep), source, static_cast<std::size_t>(n * unit));
    } else {
        Rep* fresh = Allocate(n, wide);
        if (IsEmptyRep(fresh)) {
            ReleaseRep(rep);
            data = DataOf(fresh);
            return;
        }
        std::memcpy(DataOf(fresh), source, static_cast<std::size_t>(n * unit));
        ReleaseRep(rep);
        rep = fresh;
        data = DataOf(rep);
    }
    Finish(rep, n);
}

// Room for n units keeping the content; a shared representation is always copied, even when
// the text would fit. Null when no room could be had (the string is then unchanged).
Rep* EnsureCapacity(void*& data, std::int64_t n) {
    Rep* rep = RepOf(data);
    const std::int64_t capacity = rep->capacity;
    if (!IsEmptyRep(rep) && rep->refs.load(std::memory_order_acquire) < 2 && n <= capacity - 1) return rep;
    std::int64_t room = n;
    if (n > capacity - 1) room = std::min(std::max(n, capacity + capacity / 2), kMaxUnits);
    const bool wide = IsWide(rep);
    Rep* fresh = Allocate(room, wide);
    if (IsEmptyRep(fresh)) return nullptr;
    const std::int64_t keep = std::min<std::int64_t>(n, rep->length);
    std::memcpy(DataOf(fresh), DataOf(rep), static_cast<std::size_t>(keep * UnitSize(wide)));
    Finish(fresh, keep);
    ReleaseRep(rep);
    data = DataOf(fresh);
    return fresh;
}

// The other form, made through the current converter and installed once; null when it could
// not be made.
void* MakeOther(Rep* rep) {
    void* other = rep->other.load(std::memory_order_acquire);
    if (other) return other;
    ZYNSysCodePage* converter = ZYNSysCodePage::GetCurrent();
    std::size_t size = 0;
    if (IsWide(rep)) {
        std::size_t bytes = 0;
        ZYNSysCodePage::FromUC2(converter, Units(rep), rep->length, nullptr, 0, &bytes);
        if (bytes > static_cast<std::size_t>(kMaxUnits)) bytes = static_cast<std::size_t>(kMaxUnits);
        size = OtherBlockSize(static_cast<std::int32_t>(bytes), false);
        other = ZYNSysStringPool::Allocate(size);
        if (!other) {
            ZYNDebugBreak(1);
            return nullptr;
        }
        char* dest = static_cast<char*>(other) + kOtherHeader;
        std::size_t written = 0;
        ZYNSysCodePage::FromUC2(converter, Units(rep), rep->length, dest, bytes + 1, &written);
        dest[written] = '\0';
        const std::int32_t length = static_cast<std::int32_t>(written);
        std::memcpy(other, &length, sizeof length);
    } else {
        size = OtherBlockSize(rep->length, true);
        other = ZYNSysStringPool::Allocate(size);
        if (!other) {
            ZYNDebugBreak(1);
            return nullptr;
        }
        auto* dest = reinterpret_cast<wchar_t*>(static_cast<char*>(other) + kOtherHeader);
        long count = 0;
        ZYNSysCodePage::ToUC2(converter, Chars(rep), rep->length, dest, &count);
        if (count < 0) count = 0;
        dest[count] = 0;
        const std::int32_t length = static_cast<std::int32_t>(count);
        std::memcpy(other, &length, sizeof length);
    }
    void* expected = nullptr;
    if (!rep->other.compare_exchange_strong(expected, other, std::memory_order_acq_rel)) {
        // Another thread installed its form first: that one is used.
        ZYNSysStringPool::Free(other, size);
        return expected;
    }
    return other;
}

std::int32_t OtherLength(const void* other) {
    std::int32_t length = 0;
    std::memcpy(&length, other, sizeof length);
    return length;
}

const wchar_t* WideForm(Rep* rep, std::int64_t& length) {
    if (IsWide(rep)) {
        length = rep->length;
        return Units(rep);
    }
    void* other = MakeOther(rep);
    if (!other) {
        length = 0;
        return nullptr;
    }
    length = OtherLength(other);
    return reinterpret_cast<const wchar_t*>(static_cast<const char*>(other) + kOtherHeader);
}

const char* CodePageForm(Rep* rep, std::int64_t& length) {
    if (!IsWide(rep)) {
        length = rep->length;
        return Chars(rep);
    }
    void* other = MakeOther(rep);
    if (!other) {
        length = 0;
        return nullptr;
    }
    length = OtherLength(other);
    return static_cast<const char*>(other) + kOtherHeader;
}

// Holds a reference on a representation while its characters are read.
class RepHold {
public:
    explicit RepHold(Rep* rep) : rep_(rep) { AddRef(rep_); }
    ~RepHold() { ReleaseRep(rep_); }
    RepHold(const RepHold&) = delete;
    RepHold& operator=(const RepHold&) = delete;

private:
    Rep* rep_;
};

template <typename Unit>
int CompareUnits(const Unit* first, std::int64_t firstLength, const Unit* second, std::int64_t secondLength) {
    using Value = std::make_unsigned_t<Unit>;
    if (firstLength == secondLength) {
        const int result = std::memcmp(first, second, static_cast<std::size_t>(firstLength) * sizeof(Unit));
        return result < 0 ? -1 : result > 0 ? 1 : 0;
    }
    if (firstLength < secondLength) {
        const int c = static_cast<Value>(second[0]);
        return c == 0 ? -1 : -c;
    }
    const int c = static_cast<Value>(first[0]);
    return c == 0 ? 1 : c;
}

// Forward search over UTF-16 units.
int Find(const wchar_t* text, std::int64_t length, const wchar_t* part, std::int64_t partLength, std::int64_t start) {
    if (!part || partLength <= 0 || start < 0 || start >= length || partLength > length) return -1;
    for (std::int64_t i = start; i <= length - partLength; ++i) {
        if (std::wmemcmp(text + i, part, static_cast<std::size_t>(partLength)) == 0) return static_cast<int>(i);
    }
    return -1;
}

template <typename Unit, typename Same>
std::int64_t CountMatches(const Unit* text, std::int64_t length, const Unit* from, std::int64_t fromLength,
                          Same same) {
    std::int64_t count = 0;
    for (std::int64_t i = 0; i + fromLength <= length;) {
        if (same(text + i, from, fromLength)) {
            ++count;
            i += fromLength;
        } else {
            ++i;
        }
    }
    return count;
}

template <typename Unit, typename Same>
void FillReplaced(Unit* out, const Unit* text, std::int64_t length, const Unit* from, std::int64_t fromLength,
                  const Unit* to, std::int64_t toLength, Same same) {
    std::int64_t i = 0;
    while (i < length) {
        if (i + fromLength <= length && same(text + i, from, fromLength)) {
            std::memcpy(out, to, static_cast<std::size_t>(toLength) * sizeof(Unit));
            out += toLength;
            i += fromLength;
        } else {
            *out++ = text[i++];
        }
    }
}

std::size_t RoundUtf8Size(std::size_t count) {
    if (count == 0 || count % 8 == 0) return count;
    return (count / 8 + 1) * 8 - 1;
}

}  // namespace

QORInterUnicodeString::QORInterUnicodeString() : m_data(DataOf(EmptyRepresentation())) {}

QORInterUnicodeString::QORInterUnicodeString(const char* text) : m_data(DataOf(EmptyRepresentation())) {
    AssignChars(text);
}

QORInterUnicodeString::QORInterUnicodeString(const QORInterUnicodeString& other) : m_data(other.m_data) {
    if (m_data) AddRef(RepOf(m_data));
}

QORInterUnicodeString::~QORInterUnicodeString() { Release(); }

QORInterUnicodeString& QORInterUnicodeString::operator=(const QORInterUnicodeString& other) {
    Assign(other);
    return *this;
}

QORInterUnicodeString& QORInterUnicodeString::operator=(const char* text) {
    AssignChars(text);
    return *this;
}

QORInterUnicodeString& QORInterUnicodeString::operator+=(const QORInterUnicodeString& other) {
    Append(other);
    return *this;
}

void QORInterUnicodeString::Release() {
    if (!m_data) return;
    ReleaseRep(RepOf(m_data));
    m_data = nullptr;
}

void QORInterUnicodeString::Assign(const QORInterUnicodeString& other) {
    if (m_data == other.m_data) return;
    if (other.m_data) AddRef(RepOf(other.m_data));
    if (m_data) ReleaseRep(RepOf(m_data));
    m_data = other.m_data;
}

void QORInterUnicodeString::AssignChars(const char* text) {
    if (!m_data) return;
    Store(m_data, text, text ? static_cast<std::int64_t>(std::strlen(text)) : 0, false);
}

int QORInterUnicodeString::BuildFromWideN(const wchar_t* units, std::int64_t count) {
    if (!m_data || count > kMaxUnits) return -1;
    Store(m_data, units, units ? count : 0, true);
    return RepOf(m_data)->length > 0 ? 1 : -1;
}

int QORInterUnicodeString::BuildFromWide(const wchar_t* text) {
    return BuildFromWideN(text, text ? static_cast<std::int64_t>(std::wcslen(text)) : 0);
}

int QORInterUnicodeString::BuildFromUTF8(const char* bytes, std::size_t count) {
    if (!m_data) return 0;
    if (!bytes || count == 0) {
        Store(m_data, nullptr, 0, false);
        return 0;
    }
    if (count > static_cast<std::size_t>(kMaxUnits)) return 0;
    if (ZYNSysCodePage::GetCurrent()->IsUTF8()) {
        Store(m_data, bytes, static_cast<std::int64_t>(count), false);
        return 0;
    }
    Rep* fresh = Allocate(static_cast<std::int64_t>(count), true);
    if (!IsEmptyRep(fresh)) {
        const std::size_t units =
            ZYNSysUTF8::Decode(bytes, count, static_cast<wchar_t*>(DataOf(fresh)), count, nullptr);
        Finish(fresh, static_cast<std::int64_t>(units));
    }
    ReleaseRep(RepOf(m_data));
    m_data = DataOf(fresh);
    return 0;
}

const char* QORInterUnicodeString::CastToCharStar() const {
    if (!m_data) return "";
    Rep* rep = RepOf(m_data);
    if (IsEmptyRep(rep)) return "";
    std::int64_t length = 0;
    return CodePageForm(rep, length);
}

const wchar_t* QORInterUnicodeString::CastToWCharStar() const {
    if (!m_data) return nullptr;
    std::int64_t length = 0;
    return WideForm(RepOf(m_data), length);
}

void QORInterUnicodeString::ConvertToUTF8(char* buffer, std::size_t* size) const {
    if (!size) return;
    if (!m_data) {
        *size = 0;
        return;
    }
    Rep* rep = RepOf(m_data);
    const char* direct = nullptr;
    std::int64_t directLength = 0;
    if (ZYNSysCodePage::GetCurrent()->IsUTF8()) {
        if (!IsWide(rep)) {
            direct = Chars(rep);
            directLength = rep->length;
        } else if (void* other = rep->other.load(std::memory_order_acquire)) {
            direct = static_cast<const char*>(other) + kOtherHeader;
            directLength = OtherLength(other);
        }
    }
    if (direct) {
        const std::size_t count = static_cast<std::size_t>(directLength);
        if (!buffer) {
            *size = RoundUtf8Size(count);
            return;
        }
        std::size_t n = std::min(count, *size);
        // Never end inside a character.
        while (n > 0 && n < count && (static_cast<unsigned char>(direct[n]) & 0xC0) == 0x80) --n;
        std::memcpy(buffer, direct, n);
        *size = n;
        return;
    }
    std::int64_t length = 0;
    const wchar_t* units = WideForm(rep, length);
    if (!units) {
        *size = 0;
        return;
    }
    if (!buffer) {
        *size = RoundUtf8Size(ZYNSysUTF8::EncodedSize(units, static_cast<std::size_t>(length)));
        return;
    }
    *size = ZYNSysUTF8::Encode(units, static_cast<std::size_t>(length), buffer, *size);
}

std::int64_t QORInterUnicodeString::CopyToWide(wchar_t* buffer) const {
    if (!buffer) {
        if (!m_data) return 1;
        return (std::int64_t{GetLengthInChar()} + 4) & ~std::int64_t{3};
    }
    if (!m_data) {
        buffer[0] = 0;
        return 0;
    }
    std::int64_t length = 0;
    const wchar_t* units = WideForm(RepOf(m_data), length);
    if (!units) length = 0;
    if (length > 0) std::memcpy(buffer, units, static_cast<std::size_t>(length) * sizeof(wchar_t));
    buffer[length] = 0;
    return length;
}

int QORInterUnicodeString::GetCharLength() const {
    if (!m_data) return 0;
    std::int64_t length = 0;
    CodePageForm(RepOf(m_data), length);
    return static_cast<int>(length);
}

int QORInterUnicodeString::GetLengthInChar() const {
    if (!m_data) return 0;
    Rep* rep = RepOf(m_data);
    if (rep->length == 0) return 0;
    std::int64_t length = 0;
    WideForm(rep, length);
    return static_cast<int>(length);
}

int QORInterUnicodeString::GetStorageKind() const {
    if (!m_data) return 0;
    return IsWide(RepOf(m_data)) ? 2 : 1;
}

bool QORInterUnicodeString::IsEmpty() const { return !m_data || RepOf(m_data)->length == 0; }

void QORInterUnicodeString::Append(const QORInterUnicodeString& other) {
    if (!m_data || !other.m_data) return;
    Rep* target = RepOf(m_data);
    Rep* appended = RepOf(other.m_data);
    // Keeps the appended text alive (and its representation shared) while it is copied, also
    // when it is this very string.
    RepHold hold(appended);
    if (!IsWide(target) && !IsWide(appended)) {
        const std::int64_t extra = appended->length;
        if (extra == 0) return;
        const std::int64_t length = target->length;
        if (length + extra > kMaxUnits) return;
        Rep* rep = EnsureCapacity(m_data, length + extra);
        if (!rep) return;
        std::memcpy(static_cast<char*>(DataOf(rep)) + length, Chars(appended), static_cast<std::size_t>(extra));
        Finish(rep, length + extra);
        return;
    }
    if (!IsWide(target)) {
        std::int64_t ownLength = 0;
        const wchar_t* own = WideForm(target, ownLength);
        if (!own) return;
        const std::int64_t extra = appended->length;
        if (ownLength + extra > kMaxUnits) return;
        Rep* fresh = Allocate(ownLength + extra, true);
        if (IsEmptyRep(fresh)) return;
        auto* dest = static_cast<wchar_t*>(DataOf(fresh));
        std::memcpy(dest, own, static_cast<std::size_t>(ownLength) * sizeof(wchar_t));
        std::memcpy(dest + ownLength, Units(appended), static_cast<std::size_t>(extra) * sizeof(wchar_t));
        Finish(fresh, ownLength + extra);
        ReleaseRep(target);
        m_data = DataOf(fresh);
        return;
    }
    std::int64_t extra = 0;
    const wchar_t* units = WideForm(appended, extra);
    if (!units || extra == 0) return;
    const std::int64_t length = target->length;
    if (length + extra > kMaxUnits) return;
    Rep* rep = EnsureCapacity(m_data, length + extra);
    if (!rep) return;
    std::memcpy(static_cast<wchar_t*>(DataOf(rep)) + length, units, static_cast<std::size_t>(extra) * sizeof(wchar_t));
    Finish(rep, length + extra);
}

bool QORInterUnicodeString::Equals(const QORInterUnicodeString& other) const {
    if (this == &other) return true;
    if (!m_data) return false;
    if (m_data == other.m_data) return true;
    return Compare(*this, other) == 0;
}

bool QORInterUnicodeString::EqualsChars(const char* text) const {
    if (!text || !*text) return !m_data || RepOf(m_data)->length == 0;
    if (!m_data) return false;
    Rep* rep = RepOf(m_data);
    const std::size_t textLength = std::strlen(text);
    if (!IsWide(rep))
        return textLength == static_cast<std::size_t>(rep->length) && std::memcmp(Chars(rep), text, textLength) == 0;
    const wchar_t* units = Units(rep);
    const std::int64_t length = rep->length;
    for (std::int64_t i = 0;; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 128) {
            std::int64_t bytes = 0;
            const char* form = CodePageForm(rep, bytes);
            if (!form || bytes < i) return false;
            const std::size_t rest = textLength - static_cast<std::size_t>(i);
            return static_cast<std::size_t>(bytes - i) == rest && std::memcmp(form + i, text + i, rest) == 0;
        }
        if (c == 0) return i == length;
        if (i == length || units[i] != c) return false;
    }
}

int QORInterUnicodeString::Compare(const QORInterUnicodeString& first, const QORInterUnicodeString& second) {
    if (!second.m_data) return 1;
    if (!first.m_data) return -1;
    Rep* a = RepOf(first.m_data);
    Rep* b = RepOf(second.m_data);
    if (!IsWide(a) && !IsWide(b)) return CompareUnits(Chars(a), a->length, Chars(b), b->length);
    std::int64_t aLength = 0;
    std::int64_t bLength = 0;
    const wchar_t* aUnits = WideForm(a, aLength);
    const wchar_t* bUnits = WideForm(b, bLength);
    if (!aUnits || !bUnits) return aUnits ? 1 : bUnits ? -1 : 0;
    return CompareUnits(aUnits, aLength, bUnits, bLength);
}

int QORInterUnicodeString::Search(const QORInterUnicodeString& part, int start) const {
    if (!m_data || !part.m_data) return -1;
    std::int64_t length = 0;
    std::int64_t partLength = 0;
    const wchar_t* text = WideForm(RepOf(m_data), length);
    const wchar_t* units = WideForm(RepOf(part.m_data), partLength);
    if (!text) return -1;
    return Find(text, length, units, partLength, start);
}

void QORInterUnicodeString::Replace(const QORInterUnicodeString& from, const QORInterUnicodeString& to) {
    if (!m_data || !from.m_data || !to.m_data) return;
    Rep* rep = RepOf(m_data);
    Rep* fromRep = RepOf(from.m_data);
    Rep* toRep = RepOf(to.m_data);
    if (fromRep->length == 0) return;
    RepHold holdFrom(fromRep);
    RepHold holdTo(toRep);
    if (!IsWide(rep) && !IsWide(fromRep) && !IsWide(toRep)) {
        auto same = [](const char* a, const char* b, std::int64_t n) {
            return std::memcmp(a, b, static_cast<std::size_t>(n)) == 0;
        };
        const std::int64_t length = rep->length;
        const std::int64_t count = CountMatches(Chars(rep), length, Chars(fromRep), fromRep->length, same);
        if (count == 0) return;
        const std::int64_t newLength = length + count * (std::int64_t{toRep->length} - fromRep->length);
        if (newLength > kMaxUnits) return;
        if (newLength <= 0) {
            Store(m_data, nullptr, 0, false);
            return;
        }
        Rep* fresh = Allocate(newLength, false);
        if (IsEmptyRep(fresh)) return;
        FillReplaced(static_cast<char*>(DataOf(fresh)), Chars(rep), length, Chars(fromRep), fromRep->length,
                     Chars(toRep), toRep->length, same);
        Finish(fresh, newLength);
        ReleaseRep(rep);
        m_data = DataOf(fresh);
        return;
    }
    std::int64_t length = 0;
    std::int64_t fromLength = 0;
    std::int64_t toLength = 0;
    const wchar_t* text = WideForm(rep, length);
    const wchar_t* fromUnits = WideForm(fromRep, fromLength);
    const wchar_t* toUnits = WideForm(toRep, toLength);
    if (!text || !fromUnits || !toUnits || fromLength == 0) return;
    auto same = [](const wchar_t* a, const wchar_t* b, std::int64_t n) {
        return std::wmemcmp(a, b, static_cast<std::size_t>(n)) == 0;
    };
    const std::int64_t count = CountMatches(text, length, fromUnits, fromLength, same);
    if (count == 0) return;
    const std::int64_t newLength = length + count * (toLength - fromLength);
    if (newLength > kMaxUnits) return;
    if (newLength <= 0) {
        Store(m_data, nullptr, 0, false);
        return;
    }
    Rep* fresh = Allocate(newLength, true);
    if (IsEmptyRep(fresh)) return;
    FillReplaced(static_cast<wchar_t*>(DataOf(fresh)), text, length, fromUnits, fromLength, toUnits, toLength, same);
    Finish(fresh, newLength);
    ReleaseRep(rep);
    m_data = DataOf(fresh);
}

QORInterUnicodeString QORInterUnicodeString::Extract(int start, int count) const {
    QORInterUnicodeString result;
    if (!m_data) return result;
    std::int64_t length = 0;
    const wchar_t* units = WideForm(RepOf(m_data), length);
    // A negative count would run backwards from start: refused like any other bad range.
    if (!units || length == 0 || start < 0 || count <= 0 || std::int64_t{start} + count > length) return result;
    result.BuildFromWideN(units + start, count);
    return result;
}

int QORInterUnicodeStringProbe::RefCount(const QORInterUnicodeString& s) {
    if (!s.m_data) return 0;
    return RepOf(s.m_data)->refs.load(std::memory_order_acquire);
}

const void* QORInterUnicodeStringProbe::CachedForm(const QORInterUnicodeString& s) {
    if (!s.m_data) return nullptr;
    return RepOf(s.m_data)->other.load(std::memory_order_acquire);
}

std::size_t QORInterUnicodeStringProbe::BlockSize(const QORInterUnicodeString& s) {
    if (!s.m_data) return 0;
    return RepBlockSize(RepOf(s.m_data));
}

int StringToUtf8Buffer(char* buffer, std::size_t bufferSize, const QORInterUnicodeString& s) {
    if (!buffer) return -1;
    std::memset(buffer, 0, bufferSize);
    std::size_t size = 0;
    s.ConvertToUTF8(nullptr, &size);
    if (size == 0 || size >= bufferSize) return -1;
    size = bufferSize - 1;
    s.ConvertToUTF8(buffer, &size);
    buffer[size] = '\0';
    return 0;
}

char* StringToUtf8Alloc(const QORInterUnicodeString& s) {
    std::size_t size = 0;
    s.ConvertToUTF8(nullptr, &size);
    if (size == 0) return nullptr;
    auto* text = static_cast<char*>(std::malloc(size + 1));
    if (!text) return nullptr;
    s.ConvertToUTF8(text, &size);
    text[size] = '\0';
    return text;
}

int Utf8ToWideBuffer(wchar_t* buffer, std::size_t units, const char* utf8) {
    if (!buffer || !utf8) return -1;
    const std::size_t length = std::strlen(utf8);
    if (units < length + 1) return -1;
    const std::int64_t written = ZYNSysUTF8::DecodeStrict(utf8, length, buffer, units - 1);
    if (written < 0) {
        buffer[0] = 0;
        return -1;
    }
    buffer[written] = 0;
    return 0;
}

int StrCatBounded(char* dest, std::size_t size, const char* source) {
    if (!dest || !source) return -1;
    const void* end = std::memchr(dest, '\0', size);
    if (!end) return -1;
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - dest);
    const std::size_t room = size - 1 - length;
    const std::size_t extra = std::min(room, std::strlen(source));
    std::memcpy(dest + length, source, extra);
    dest[length + extra] = '\0';
    return 0;
}

void ZYNSysGetStringData(const wchar_t** chars, int* length, const QORInterUnicodeString& s) {
    if (length) *length = s.GetLengthInChar();
    if (chars) *chars = s.CastToWCharStar();
}
