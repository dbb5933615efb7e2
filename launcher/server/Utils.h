#pragma once
// Desktop shortcuts, media downloads, web-service calls and the check of an Ordana id.

#include <cstdint>
#include <string>
#include <vector>

#include "ZYNSysWin.h"

class MediaInfo;
class OrdanaRequestInfo;
class QORHttpDirectFacade;

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
    // One GET (empty arg) or POST of arg as text/plain, after planting the request's CAS ticket
    // as the CASTGC cookie unless noAuth. True with a non-empty response text, which replaces
    // response; false leaves it as it was.
    static bool callWebService(const OrdanaRequestInfo& requestInfo, const std::string& url, const std::string& arg,
                               std::string& response, bool noAuth);
    // The authentication service behind url: the target itself, cut at '?', or the first hop
    // of its redirects that answers as the identity service; empty when none is found. Borrows
    // the caller's facade; results are kept for the life of the process.
    static std::string ResolveAuthWebserice(QORHttpDirectFacade*& facade, const OrdanaRequestInfo& requestInfo,
                                            const std::string& url, const std::string& arg);
};

// A version-4 UUID of the RFC 4122 variant, 36 characters, any letter case.
bool IsValidUuid(const std::string& text);
