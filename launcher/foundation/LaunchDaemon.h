#pragma once
// The launcher's start-up of its base services, and small process-wide helpers.

#include <cstdint>
#include <string>
#include <vector>

class LaunchDaemon {
public:
    // Folders, then the configuration, then the logger; true when the logger has a usable file.
    static bool MetaInit(std::uint32_t startContext, const std::string& loggerName, const std::string& logFolder,
                         const std::string& baseFileName);
};

// The items in order, the separator before an item whenever the text so far is not empty.
std::string JoinStrings(const std::vector<std::string>& items, const std::string& separator);
