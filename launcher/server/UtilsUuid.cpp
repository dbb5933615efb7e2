#include <vector>

#include "ToolBox.h"
#include "Utils.h"

bool IsValidUuid(const std::string& text) {
    // Splitting alone lets a trailing hyphen through: the length closes that gap.
    if (text.size() != 36) return false;
    std::vector<std::string> parts;
    ToolBox::Split(ToolBox::ToLower(text), "-", parts);
    static constexpr std::size_t kLengths[] = {8, 4, 4, 4, 12};
    if (parts.size() != 5) return false;
    for (std::size_t i = 0; i < 5; ++i) {
        if (parts[i].size() != kLengths[i]) return false;
    }
    if (parts[2][0] != '4') return false;
    const char variant = parts[3][0];
    if (variant != '8' && variant != '9' && variant != 'a' && variant != 'b') return false;
    for (const std::string& part : parts) {
        for (const char c : part) {
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
        }
    }
    return true;
}
