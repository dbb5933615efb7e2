// The run action "DownloadMedia": where the media goes, then the download itself.

#include <io.h>

#include <string>

#include "Backbone.h"
#include "FileAndFoldersManager.h"
#include "Json.h"
#include "Logger.h"
#include "MediaInfo.h"
#include "OperationsLocal.h"
#include "OrdanaRequestInfo.h"
#include "PathName.h"
#include "ReturnCodes.h"
#include "ToolBox.h"
#include "Utils.h"

namespace {

// The file name after the last separator of either kind: requests write both.
std::string LastPathPart(const std::string& path) {
    const std::size_t at = path.find_last_of("\\/");
    return at == std::string::npos ? path : path.substr(at + 1);
}

bool FolderUsable(const std::string& folder) {
    return !folder.empty() && ::_waccess(ToolBox::Utf8ToWide(folder).c_str(), 6) == 0;
}

}  // namespace

int Backbone::ActionDownloadMedia(const JSON::Value* action, JSON::ValuePtr& content,
                                  const OrdanaRequestInfo& context) {
    std::string dest;
    JSON::GetStringField("dest", dest, action);
    if (dest.empty()) {
        Logger::ErrorW(L"[Backbone::Process] No destination path was gave !");
        return kRcNoDestination;
    }
    const auto download = [&](const std::string& output) {
        const MediaInfo item(action->Find("mi"));
        const std::int32_t result = Utils::DownloadMedia(context, output, item);
        content = JSON::MakeObject({{"rc", JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(result))},
                                    {"output", JSON::MakeString(output, true)}});
        return kRcDone;
    };
    // The platform would read the path only up to its NUL: the download refuses such a path,
    // and no folder is made or chosen for it first.
    if (ToolBox::HoldsNul(dest)) return download(dest);
    std::string output = dest;
    const std::string folder = PathName(dest).GetParent().GetText();
    if (!ToolBox::File::Exists(folder) && !Operations::Local::MakeFolder(folder)) {
        Logger::Error("[Backbone::Process] Fail to create the custom download folder : " +
                      ToolBox::MaskSecretsInText(folder));
    }
    if (!FolderUsable(folder)) {
        Logger::Warn("[Backbone::Process] Cannot access this output path [" + ToolBox::MaskSecretsInText(folder) +
                     "] creating an alternative one ...");
        std::string media;
        if (!FileAndFoldersManager::GetFolderPath(FolderId::MEDIA_DDL, media, true, nullptr) || media.empty()) {
            Logger::Error("[Backbone::Process] Fail to create the default download folder : " + media);
            return kRcNoDownloadFolder;
        }
        const std::string fallback = media + "\\fallback";
        if (!ToolBox::File::Exists(fallback) && !Operations::Local::MakeFolder(fallback)) {
            Logger::Error("[Backbone::Process] Fail to create the fallback download folder : " + fallback);
        }
        output = fallback + "\\" + LastPathPart(dest);
        Logger::Debug("[Backbone::Process] New download output path in use : " +
                      ToolBox::MaskSecretsInText(output));
    }
    return download(output);
}
