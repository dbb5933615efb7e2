#pragma once
// The one rule for showing a secret (a ticket, a cookie value) in a log or trace line: the first
// 4 characters only when there are at least 8 and they are printable ASCII, then "***(" and the
// length, as in "TGT-***(31)". An empty or null secret shows as nothing. Portable: no system
// headers, nothing allocated.

#include <cstddef>
#include <string_view>

struct ZYNSysMaskedSecret {
    char text[32];  // 4 characters, "***(", 20 digits, ")" and the NUL
};

ZYNSysMaskedSecret ZYNSysMaskSecret(const char* secret, std::size_t length) noexcept;

inline ZYNSysMaskedSecret ZYNSysMaskSecret(std::string_view secret) noexcept {
    return ZYNSysMaskSecret(secret.data(), secret.size());
}
