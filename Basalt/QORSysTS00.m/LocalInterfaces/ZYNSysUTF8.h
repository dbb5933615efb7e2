#pragma once
// The one way into utfcpp. Its checked functions throw on a truncated sequence or a lone
// surrogate; nothing here throws: a bad sequence becomes U+FFFD, or the strict forms refuse it.

#include <cstddef>
#include <cstdint>

namespace ZYNSysUTF8 {

// Bytes the UTF-8 form of the units takes: 1 below U+0080, 2 below U+0800, 3 below U+10000
// (a lone surrogate too, as its U+FFFD), 4 for a surrogate pair.
std::size_t EncodedSize(const wchar_t* units, std::size_t count);

// Encodes at most `room` bytes, never cutting a character; answers the bytes written. No terminator.
std::size_t Encode(const wchar_t* units, std::size_t count, char* out, std::size_t room);

// Decodes at most `room` units, never cutting a surrogate pair. `consumed`, when given, receives
// the bytes decoded. An invalid or truncated sequence gives one U+FFFD. No terminator.
std::size_t Decode(const char* bytes, std::size_t count, wchar_t* out, std::size_t room,
                   std::size_t* consumed = nullptr);

// As Decode, but answers -1 at the first invalid sequence.
std::int64_t DecodeStrict(const char* bytes, std::size_t count, wchar_t* out, std::size_t room);

}  // namespace ZYNSysUTF8
