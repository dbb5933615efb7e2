#include "ZYNSysUTF8.h"

#include <utf8cpp/utf8.h>

namespace ZYNSysUTF8 {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

bool IsLead(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsTrail(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The code point at units[i], and how many units it takes; a lone surrogate reads as U+FFFD.
std::uint32_t NextCodePoint(const wchar_t* units, std::size_t count, std::size_t i, std::size_t& taken) {
    const std::uint32_t unit = static_cast<std::uint16_t>(units[i]);
    taken = 1;
    if (IsLead(unit) && i + 1 < count) {
        const std::uint32_t next = static_cast<std::uint16_t>(units[i + 1]);
        if (IsTrail(next)) {
            taken = 2;
            return 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
        }
    }
    if (IsLead(unit) || IsTrail(unit)) return kReplacement;
    return unit;
}

std::size_t BytesOf(std::uint32_t codePoint) {
    return codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
}

// One step of decoding: the code point, or U+FFFD with the bad lead and its trail bytes skipped.
std::uint32_t DecodeNext(const char*& it, const char* end, bool& valid) {
    std::uint32_t codePoint = 0;
    const utf8::internal::utf_error error = utf8::internal::validate_next(it, end, codePoint);
    valid = error == utf8::internal::UTF8_OK;
    if (valid) return codePoint;
    ++it;
    while (it != end && utf8::internal::is_trail(*it)) ++it;
    return kReplacement;
}

template <bool Strict>
std::int64_t DecodeAny(const char* bytes, std::size_t count, wchar_t* out, std::size_t room, std::size_t* consumed) {
    const char* it = bytes;
    const char* end = bytes + count;
    std::size_t written = 0;
    while (it != end) {
        const char* start = it;
        bool valid = true;
        const std::uint32_t codePoint = DecodeNext(it, end, valid);
        if (Strict && !valid) return -1;
        const std::size_t units = codePoint >= 0x10000 ? 2 : 1;
        if (written + units > room) {
            it = start;
            break;
        }
        if (units == 2) {
            out[written++] = static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10));
            out[written++] = static_cast<wchar_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
            out[written++] = static_cast<wchar_t>(codePoint);
        }
    }
    if (consumed) *consumed = static_cast<std::size_t>(it - bytes);
    return static_cast<std::int64_t>(written);
}

}  // namespace

std::size_t EncodedSize(const wchar_t* units, std::size_t count) {
    std::size_t size = 0;
    std::size_t taken = 0;
    for (std::size_t i = 0; i < count; i += taken) size += BytesOf(NextCodePoint(units, count, i, taken));
    return size;
}

std::size_t Encode(const wchar_t* units, std::size_t count, char* out, std::size_t room) {
    std::size_t written = 0;
    std::size_t taken = 0;
    for (std::size_t i = 0; i < count; i += taken) {
        const std::uint32_t codePoint = NextCodePoint(units, count, i, taken);
        if (written + BytesOf(codePoint) > room) break;
        written = static_cast<std::size_t>(utf8::unchecked::append(codePoint, out + written) - out);
    }
    return written;
}

std::size_t Decode(const char* bytes, std::size_t count, wchar_t* out, std::size_t room, std::size_t* consumed) {
    return static_cast<std::size_t>(DecodeAny<false>(bytes, count, out, room, consumed));
}

std::int64_t DecodeStrict(const char* bytes, std::size_t count, wchar_t* out, std::size_t room) {
    return DecodeAny<true>(bytes, count, out, room, nullptr);
}

}  // namespace ZYNSysUTF8
