#include "DaemonVersion.h"

#include <vector>

#include "Logger.h"
#include "ToolBox.h"

namespace {

// One field: false (logged) unless a non-negative decimal.
bool ParseField(const std::string& field, const char* name, std::uint32_t& out) {
    const std::string shown = ToolBox::MaskSecretsInText(field);
    Logger::Internal(std::string("[DaemonVersion::Parse]{") + name + "} index string to parse: " + shown);
    int value = 0;
    if (!ToolBox::StringToInt(field, value, 10)) {
        Logger::Warn(std::string("[DaemonVersion::Parse]Fail to convert [") + name + "] index string to num : [" +
                     shown + "]");
        return false;
    }
    if (value < 0) {
        Logger::Internal(std::string("[DaemonVersion::Parse]The parsed [") + name +
                         "] index is invalid (all indexes must be positive): " + std::to_string(value));
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

bool DaemonVersion::Parse(const std::string& text, DaemonVersion& out) {
    const std::string shown = ToolBox::MaskSecretsInText(text);
    Logger::Internal("[DaemonVersion::Parse]try to parse version string : " + shown);
    if (text.empty()) {
        Logger::Internal("[DaemonVersion::Parse]Cannot parse empty string !");
        return false;
    }
    std::vector<std::string> fields;
    ToolBox::Split(text, ".", fields);
    if (fields.size() >= 3) {
        Logger::Internal("[DaemonVersion::Parse]Fail to parse version string [" + shown +
                         "] ! Too much fields. ( maximum fields count : 2)");
        return false;
    }
    if (fields.empty()) {
        out = DaemonVersion();
        return true;
    }
    DaemonVersion parsed;
    if (!ParseField(fields[0], "Major", parsed.major)) return false;
    if (fields.size() == 2 && !ParseField(fields[1], "Minor", parsed.minor)) return false;
    out = parsed;
    return true;
}

std::string DaemonVersion::ToString() const {
    if (major == kUnset || minor == kUnset) return "N/A";
    return std::to_string(major) + "." + std::to_string(minor);
}
