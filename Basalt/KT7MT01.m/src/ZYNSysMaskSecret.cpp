#include "ZYNSysMaskSecret.h"

#include <cstring>

ZYNSysMaskedSecret ZYNSysMaskSecret(const char* secret, std::size_t length) noexcept {
    ZYNSysMaskedSecret masked{};
    if (secret == nullptr || length == 0) return masked;
    std::size_t at = length >= 8 ? 4 : 0;
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
