#include "ZYNSysMaskSecret.h"

#include <cstring>

namespace {

// A prefix with a control character (a line break among them) or half a UTF-8 character
// would garble the line that shows it.
bool Printable(const char* text, std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

}  // namespace

ZYNSysMaskedSecret ZYNSysMaskSecret(const char* secret, std::size_t length) noexcept {
    ZYNSysMaskedSecret masked{};
    if (secret == nullptr || length == 0) return masked;
    std::size_t at = length >= 8 && Printable(secret, 4) ? 4 : 0;
    std::memcpy(masked.text, secret, at);
    std::memcpy(masked.text + at, "***(", 4);
    at += 4;
    char digits[24];
    std::size_t count = 0;
    for (std::size_t rest = length; count == 0 || rest != 0; rest /= 10) {
        digits[count++] = static_cast<char>('0' + rest % 10);
    }
    while (count != 0) masked.text[at++] = digits[--count];
    masked.text[at] = ')';
    return masked;
}
