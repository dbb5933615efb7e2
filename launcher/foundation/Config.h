#pragma once
// The process-wide configuration: switched-on options and named variables, read once
// from "launcher.conf" and a few environment variables.

#include <cstdint>
#include <string>

class Config {
public:
    // Reads the file once; later calls change nothing. Always true.
    static bool Init(const std::string& path);
    // False before Init.
    static bool IsActivated(std::int32_t optionId);
    // False (value untouched) before Init; false and an empty value when not set.
    static bool GetVariable(std::int32_t variableId, std::string& value);
    // True when the option was not on yet.
    static bool ActivateOption(std::int32_t optionId);
    static void DisplayConfig();
};
