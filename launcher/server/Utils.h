#pragma once
// Desktop shortcuts, media downloads and the check of an Ordana id.

#include <cstdint>
#include <string>
#include <vector>

#include "ZYNSysWin.h"

class MediaInfo;
class OrdanaRequestInfo;

class Utils {
public:
    // Writes <Desktop or, in test mode, WEX_TRQ_TMP>\<name>.lnk for the command line
    // (cmd[0] the program); E_FAIL for refused arguments, else the result of the save.
    static HRESULT MakeShortcut(const std::vector<std::string>& cmd, const std::string& name,
                                const std::string& description, const std::string& iconPath,
                                std::int32_t iconIndex);
    // kDownloadDone (downloaded and in place), kDownloadAlreadyPresent, kDownloadFailed (a
    // failure or a stop) or kDownloadNoSpace.
    static std::int32_t DownloadMedia(const OrdanaRequestInfo& requestInfo, const std::string& output,
                                      const MediaInfo& media);
};

// A version-4 UUID of the RFC 4122 variant, 36 characters, any letter case.
bool IsValidUuid(const std::string& text);
