#include "SharedWString.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "WStringList.h"

namespace {

constexpr std::uint32_t kStaticCount = 0xFFFFFFFF;

// Accepts a narrow format with exactly one conversion that reads a 32-bit integer: any
// other conversion (%s, %n, %f, %lld ...) would read the value as something it is not.
bool IsIntegerFormat(const char* format) {
    int conversions = 0;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p && std::strchr("-+ #0", *p)) ++p;
        while (*p >= '0' && *p <= '9') ++p;
        if (*p == '.') {
            ++p;
            while (*p >= '0' && *p <= '9') ++p;
        }
        if (*p == 'h') {
            ++p;
            if (*p == 'h') ++p;
        } else if (*p == 'l') {
            ++p;  // long is 32-bit here
        }
        if (!*p || !std::strchr("diuxXoc", *p)) return false;
        ++conversions;
    }
    return conversions == 1;
}

}  // namespace

// ---- blocks --------------------------------------------------------------------------

SharedWString::Block* SharedWString::EmptyBlock() {
    struct Storage {
        Block header;
        wchar_t unit;
    };
    static Storage empty{{kStaticCount, 0, kTerminated, 0}, 0};
    return &empty.header;
}

SharedWString::Block* SharedWString::NewBlock(std::int32_t capacity) {
    if (capacity < 1 || static_cast<std::uint32_t>(capacity) > kCapacityMask) return nullptr;
    std::size_t bytes = sizeof(Block) + (static_cast<std::size_t>(capacity) + 1) * sizeof(wchar_t);
    void* memory = ::operator new(bytes, std::nothrow);
    if (!memory) return nullptr;
    Block* block = new (memory) Block{{1}, capacity, static_cast<std::uint32_t>(capacity) | kTerminated, 0};
    Units(block)[capacity] = 0;
    return block;
}

void SharedWString::AddRef(Block* block) {
    if (block->refCount.load(std::memory_order_relaxed) != kStaticCount) block->refCount.fetch_add(1);
}

void SharedWString::Release(Block* block) {
    if (block == EmptyBlock() || block->refCount.load(std::memory_order_relaxed) == kStaticCount) return;
    if (block->refCount.fetch_sub(1) == 1) {
        block->~Block();
        ::operator delete(block);
    }
}

bool SharedWString::IsShared() const {
    return block_->refCount.load() != 1;
}

void SharedWString::SetLength(std::int32_t length) {
    if (block_ == EmptyBlock()) return;
    block_->length = length;
    Units(block_)[length] = 0;
    block_->capacityAndFlags |= kTerminated;
}

// ---- construction --------------------------------------------------------------------

SharedWString::SharedWString() : block_(EmptyBlock()) {}

SharedWString::SharedWString(const wchar_t* text) : block_(EmptyBlock()) {
    if (text) Assign(text, static_cast<std::int32_t>(std::wcslen(text)));
}

SharedWString::SharedWString(const SharedWString& other) : block_(other.block_) {
    AddRef(block_);
}

SharedWString::SharedWString(SharedWString&& other) noexcept : block_(other.block_) {
    other.block_ = EmptyBlock();
}

SharedWString& SharedWString::operator=(const SharedWString& other) {
    if (block_ != other.block_) {
        AddRef(other.block_);
        Release(block_);
        block_ = other.block_;
    }
    return *this;
}

SharedWString& SharedWString::operator=(SharedWString&& other) noexcept {
    if (this != &other) {
        Release(block_);
        block_ = other.block_;
        other.block_ = EmptyBlock();
    }
    return *this;
}

SharedWString& SharedWString::operator=(const wchar_t* text) {
    if (!text) {
        Empty();
    } else {
        Assign(text, static_cast<std::int32_t>(std::wcslen(text)));
    }
    return *this;
}

SharedWString::~SharedWString() {
    Release(block_);
}

void SharedWString::Assign(const wchar_t* units, std::int32_t count) {
    if (!units || count <= 0) {
        Empty();
        return;
    }
    if (IsShared() || GetCapacity() < count) {
        Block* block = NewBlock(count);
        if (!block) {
            // No block: empty rather than the old text, which would pass for the new one.
            Empty();
            return;
        }
        // units may point into the old block: copy before letting it go.
        std::memcpy(Units(block), units, static_cast<std::size_t>(count) * sizeof(wchar_t));
        Release(block_);
        block_ = block;
    } else {
        std::memmove(Units(block_), units, static_cast<std::size_t>(count) * sizeof(wchar_t));
    }
    SetLength(count);
}

void SharedWString::Empty() {
    Release(block_);
    block_ = EmptyBlock();
}

// ---- reading -------------------------------------------------------------------------

wchar_t SharedWString::GetAt(std::int32_t index) const {
    return index >= 0 && index < block_->length ? Units(block_)[index] : 0;
}

bool SharedWString::operator==(const SharedWString& other) const {
    if (this == &other || block_ == other.block_) return true;
    return block_->length == other.block_->length &&
           std::memcmp(c_str(), other.c_str(), static_cast<std::size_t>(block_->length) * sizeof(wchar_t)) == 0;
}

std::int32_t SharedWString::Find(const SharedWString& needle, std::int32_t start) const {
    std::int32_t length = GetLength(), n = needle.GetLength();
    if (start < 0 || start >= length || n == 0 || n > length - start) return -1;
    const wchar_t* text = c_str();
    const wchar_t* pattern = needle.c_str();
    for (std::int32_t i = start; i <= length - n; ++i) {
        if (text[i] == pattern[0] && std::memcmp(text + i, pattern, static_cast<std::size_t>(n) * sizeof(wchar_t)) == 0)
            return i;
    }
    return -1;
}

SharedWString SharedWString::Mid(std::int32_t from, std::int32_t to) const {
    SharedWString piece;
    if (from < 0 || from > to || to > GetLength()) return piece;
    piece.Assign(c_str() + from, to - from);
    return piece;
}

void SharedWString::Split(const SharedWString& separator, WStringList& out) const {
    out.Clear();
    std::int32_t n = separator.GetLength();
    std::int32_t from = 0;
    if (n > 0) {
        for (std::int32_t at = Find(separator, 0); at >= 0; at = Find(separator, from)) {
            out.Append(Mid(from, at));
            from = at + n;
        }
    }
    out.Append(Mid(from, GetLength()));
}

// ---- changing ------------------------------------------------------------------------

bool SharedWString::Reserve(std::int32_t n, bool keepContent, bool growGeometric) {
    if (n < 0) return false;
    std::int32_t capacity = GetCapacity();
    if (!IsShared() && capacity >= n) return true;
    std::int32_t size = n;
    if (growGeometric && n > capacity) {
        std::int64_t grown = static_cast<std::int64_t>(capacity) * 3 / 2;
        if (grown > n) size = grown > static_cast<std::int64_t>(kCapacityMask) ? n : static_cast<std::int32_t>(grown);
    }
    Block* block = EmptyBlock();
    if (size > 0) {
        block = NewBlock(size);
        if (!block) return false;
        std::int32_t kept = 0;
        if (keepContent) {
            kept = n < GetLength() ? n : GetLength();
            std::memcpy(Units(block), c_str(), static_cast<std::size_t>(kept) * sizeof(wchar_t));
        }
        block->length = kept;
        Units(block)[kept] = 0;
    }
    Release(block_);
    block_ = block;
    return true;
}

void SharedWString::AppendUnits(const wchar_t* const* parts, const std::int32_t* lengths, int count) {
    std::int64_t total = GetLength();
    for (int i = 0; i < count; ++i) total += lengths[i];
    if (total == GetLength()) return;
    if (total > static_cast<std::int64_t>(kCapacityMask)) return;
    if (!Reserve(static_cast<std::int32_t>(total), true, true)) return;
    std::int32_t at = GetLength();
    for (int i = 0; i < count; ++i) {
        std::memcpy(Units(block_) + at, parts[i], static_cast<std::size_t>(lengths[i]) * sizeof(wchar_t));
        at += lengths[i];
    }
    SetLength(at);
}

// The appenders hold their own references to the parts: a part that shares this string's
// block makes the block shared, so the append copies it instead of writing over it.
void SharedWString::Append(const SharedWString& b) {
    SharedWString kb(b);
    const wchar_t* parts[] = {kb.c_str()};
    std::int32_t lengths[] = {kb.GetLength()};
    AppendUnits(parts, lengths, 1);
}

void SharedWString::Append2(const SharedWString& b, const SharedWString& c) {
    SharedWString kb(b), kc(c);
    const wchar_t* parts[] = {kb.c_str(), kc.c_str()};
    std::int32_t lengths[] = {kb.GetLength(), kc.GetLength()};
    AppendUnits(parts, lengths, 2);
}

void SharedWString::Append3(const SharedWString& b, const SharedWString& c, const SharedWString& d) {
    SharedWString kb(b), kc(c), kd(d);
    const wchar_t* parts[] = {kb.c_str(), kc.c_str(), kd.c_str()};
    std::int32_t lengths[] = {kb.GetLength(), kc.GetLength(), kd.GetLength()};
    AppendUnits(parts, lengths, 3);
}

SharedWString SharedWString::Concat(const SharedWString& a, const SharedWString& b) {
    SharedWString result;
    std::int64_t total = static_cast<std::int64_t>(a.GetLength()) + b.GetLength();
    if (total == 0 || total > static_cast<std::int64_t>(kCapacityMask)) return result;
    if (!result.Reserve(static_cast<std::int32_t>(total), false, false)) return result;
    std::memcpy(Units(result.block_), a.c_str(), static_cast<std::size_t>(a.GetLength()) * sizeof(wchar_t));
    std::memcpy(Units(result.block_) + a.GetLength(), b.c_str(),
                static_cast<std::size_t>(b.GetLength()) * sizeof(wchar_t));
    result.SetLength(static_cast<std::int32_t>(total));
    return result;
}

int SharedWString::Delete(std::int32_t position, std::int32_t count) {
    std::int32_t length = GetLength();
    if (position < 0 || count < 1 || position > length) return 0;
    std::int32_t removed = count < length - position ? count : length - position;
    if (removed == 0) return 0;
    if (!Reserve(length, true, false)) return 0;
    wchar_t* units = Units(block_);
    std::memmove(units + position, units + position + removed,
                 static_cast<std::size_t>(length - position - removed) * sizeof(wchar_t));
    SetLength(length - removed);
    return 0;
}

std::int32_t SharedWString::Replace(wchar_t from, wchar_t to) {
    if (from == 0 || to == 0) return 0;
    std::int32_t found = 0;
    for (std::int32_t i = 0; i < GetLength(); ++i) found += c_str()[i] == from;
    if (found == 0 || !Reserve(GetLength(), true, false)) return 0;
    wchar_t* units = Units(block_);
    for (std::int32_t i = 0; i < GetLength(); ++i) {
        if (units[i] == from) units[i] = to;
    }
    return found;
}

wchar_t* SharedWString::GetBuffer(std::int32_t n) {
    if (n < 0) n = GetCapacity();
    if (!Reserve(n, true, false)) return nullptr;
    return Units(block_);
}

void SharedWString::ReleaseBuffer(std::int32_t n) {
    if (block_ == EmptyBlock()) return;
    std::int32_t limit = GetCapacity();
    if (n >= 0 && n < limit) limit = n;
    const wchar_t* units = Units(block_);
    std::int32_t length = 0;
    while (length < limit && units[length] != 0) ++length;
    SetLength(length);
}

HRESULT SharedWString::Format(std::int32_t value, const char* format) {
    if (!format || !IsIntegerFormat(format)) return E_FAIL;
    char text[1025];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int written = std::snprintf(text, sizeof text, format, value);
#pragma GCC diagnostic pop
    if (written <= 0 || written > 1024) return E_FAIL;
    wchar_t wide[1025];
    for (int i = 0; i < written; ++i) wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    Assign(wide, written);
    return S_OK;
}

// ---- UTF-8 ---------------------------------------------------------------------------

int SharedWString::FromUtf8(const char* text, SharedWString& out) {
    return FromUtf8(text, text ? static_cast<std::int32_t>(std::strlen(text)) : 0, out);
}

int SharedWString::FromUtf8(const char* bytes, std::int32_t length, SharedWString& out) {
    if (!bytes || length <= 0) {
        out.Empty();
        return 0;
    }
    if (!out.Reserve(length, false, false)) {
        out.Empty();
        return 1;
    }
    const auto* in = reinterpret_cast<const unsigned char*>(bytes);
    wchar_t* units = Units(out.block_);
    const std::int32_t room = out.GetCapacity();
    std::int32_t written = 0;
    int code = 0;
    for (std::int32_t i = 0; i < length && code == 0;) {
        unsigned char lead = in[i];
        int trailing = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : lead < 0xFC ? 4 : 5;
        if (trailing >= length - i) {
            code = 3;  // the sequence runs past the end
            break;
        }
        std::uint32_t cp;
        if (trailing == 0) {
            if (lead >= 0x80) { code = 4; break; }  // a continuation byte cannot lead
            cp = lead;
        } else {
            cp = lead & (0x3F >> trailing);
            for (int k = 1; k <= trailing; ++k) {
                unsigned char next = in[i + k];
                if ((next & 0xC0) != 0x80) { code = 4; break; }
                cp = (cp << 6) | (next & 0x3F);
            }
            if (code) break;
            static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
            if (trailing > 3 || cp > 0x10FFFF) { code = 7; break; }
            if (cp < kSmallest[trailing]) { code = 4; break; }    // overlong form
            if (cp >= 0xD800 && cp <= 0xDFFF) { code = 4; break; }  // an encoded surrogate
        }
        i += trailing + 1;
        if (written >= room) { code = 2; break; }
        if (cp == 0) { code = 5; break; }
        if (cp < 0x10000) {
            units[written++] = static_cast<wchar_t>(cp);
        } else {
            if (written + 1 >= room) { code = 6; break; }
            cp -= 0x10000;
            units[written++] = static_cast<wchar_t>(0xD800 + (cp >> 10));
            units[written++] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        }
    }
    if (code != 0) {
        // Nothing partial: a cut path could name a parent folder.
        out.Empty();
        return code;
    }
    std::memset(units + written, 0, static_cast<std::size_t>(room - written + 1) * sizeof(wchar_t));
    out.SetLength(written);
    return 0;
}

int SharedWString::ToUtf8(const SharedWString& text, char* buffer, std::int32_t& size) {
    std::int32_t room = size;
    size = 0;
    if (!buffer || room <= 0) return 6;
    buffer[0] = 0;
    const wchar_t* units = text.c_str();
    const std::int32_t length = text.GetLength();
    std::int32_t count = 0;
    for (std::int32_t i = 0; i < length; ++i) {
        std::uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 == length) { buffer[0] = 0; return 3; }
            std::uint32_t low = units[i + 1];
            if (low < 0xDC00 || low > 0xDFFF) { buffer[0] = 0; return 7; }
            cp = ((cp - 0xD800) << 10) + (low - 0xDC00) + 0x10000;
            ++i;
        }
        int bytes = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        if (count + bytes >= room) { buffer[0] = 0; return 6; }  // no room left for the zero
        char* out = buffer + count;
        switch (bytes) {
            case 1: out[0] = static_cast<char>(cp); break;
            case 2:
                out[0] = static_cast<char>(0xC0 | (cp >> 6));
                out[1] = static_cast<char>(0x80 | (cp & 0x3F));
                break;
            case 3:
                out[0] = static_cast<char>(0xE0 | (cp >> 12));
                out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                out[2] = static_cast<char>(0x80 | (cp & 0x3F));
                break;
            default:
                out[0] = static_cast<char>(0xF0 | (cp >> 18));
                out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                out[3] = static_cast<char>(0x80 | (cp & 0x3F));
                break;
        }
        count += bytes;
    }
    buffer[count] = 0;
    size = count;
    return 0;
}

// ---- platform conversions ------------------------------------------------------------

std::string Utf16ToUtf8(const wchar_t* text) {
    if (!text || !*text) return {};
    int length = static_cast<int>(std::wcslen(text));
    int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
    out.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    return out;
}

std::wstring Utf8ToUtf16(const char* text) {
    if (!text || !*text) return {};
    int length = static_cast<int>(std::strlen(text));
    int units = ::MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
    if (units <= 0) return {};
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    units = ::MultiByteToWideChar(CP_UTF8, 0, text, length, out.data(), units);
    out.resize(units > 0 ? static_cast<std::size_t>(units) : 0);
    return out;
}
