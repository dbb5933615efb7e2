#pragma once
// A protocol version: major.minor, each possibly unset.

#include <cstdint>
#include <string>

class DaemonVersion {
public:
    static constexpr std::uint32_t kUnset = 0xFFFFFFFF;

    DaemonVersion() = default;
    DaemonVersion(std::uint32_t major, std::uint32_t minor) : major(major), minor(minor) {}

    // "major" or "major.minor", non-negative decimals; out untouched on failure.
    static bool Parse(const std::string& text, DaemonVersion& out);
    // "major.minor", or "N/A" when either is unset.
    std::string ToString() const;

    std::uint32_t major = kUnset;
    std::uint32_t minor = kUnset;
};
