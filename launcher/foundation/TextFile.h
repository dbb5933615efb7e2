#pragma once
// Reading small text files the launcher's own way: bytes as they are, lines split at line
// feeds with a carriage return before a feed dropped (no C runtime text-mode quirks).

#include <string>
#include <vector>

// False when the file cannot be opened or read.
bool ReadTextFile(const std::string& path, std::string& content);
// A final line feed ends the last line; it does not start an empty one.
std::vector<std::string> SplitLines(const std::string& content);
