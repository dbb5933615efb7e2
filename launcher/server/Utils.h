#pragma once
// Desktop shortcuts and the check of an Ordana id.

#include <cstdint>
#include <string>
#include <vector>

#include "ZYNSysWin.h"

class Utils {
public:
    // Writes <Desktop or, in test mode, WEX_TRQ_TMP>\<name>.lnk for the command line
    // (cmd[0] the program); E_FAIL for refused arguments, else the result of the save.
    static HRESULT MakeShortcut(const std::vector<std::string>& cmd, const std::string& name,
                                const std::string& description, const std::string& iconPath,
                                std::int32_t iconIndex);
};

// A version-4 UUID of the RFC 4122 variant, 36 characters, any letter case.
bool IsValidUuid(const std::string& text);
