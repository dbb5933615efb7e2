// The op "run": one action object, handed to the operation that does the work.

#include <atomic>
#include <string>
#include <vector>

#include "Backbone.h"
#include "Config.h"
#include "FileAndFoldersManager.h"
#include "Json.h"
#include "Logger.h"
#include "OperationsLocal.h"
#include "OrdanaRequestInfo.h"
#include "ReturnCodes.h"
#include "ToolBox.h"
#include "Utils.h"

namespace {

using Action = int (*)(const JSON::Value*, JSON::ValuePtr&, const OrdanaRequestInfo&);

struct RunAction {
    const char* name;
    Action handler;
};

// Every action but "mkdir", which ProcessRun handles itself; any other name answers as unknown.
const RunAction kActions[] = {
    {"DownloadMedia", &Backbone::ActionDownloadMedia},
    {"Unzip", &Backbone::ActionUnzip},
    {"CallWS", &Backbone::ActionCallWS},
    {"Execute", &Backbone::ActionExecute},
    {"mkshortcut", &Backbone::ActionMkshortcut},
    {"checkFile", &Backbone::ActionCheckFile},
};

// Missing members, and members of another kind, read as empty.
std::string StringMember(const JSON::Value* object, const char* name) {
    std::string value;
    JSON::GetStringField(name, value, object);
    return value;
}

int IntMember(const JSON::Value* object, const char* name) {
    int value = 0;
    JSON::GetIntField(name, value, object);
    return value;
}

// Two actions in the same second must not share (and delete) one folder.
std::string UniqueUnzipName() {
    static std::atomic<std::uint32_t> counter{0};
    return std::to_string(ToolBox::NowSeconds()) + "_" + std::to_string(::GetCurrentProcessId()) + "_" +
           std::to_string(++counter);
}

}  // namespace

int Backbone::ProcessRun(const OrdanaRequestInfo& context, const JSON::Value* args, const std::string&,
                         JSON::ValuePtr& content) {
    if (!args->IsObject()) {
        Logger::Error("[Backbone::Process]invalid RUN argument item ! expecting JSON object but get this instead : " +
                      ToolBox::MaskSecretsInJson(*args));
        return kRcArgsWrongKind;
    }
    const std::string action = StringMember(args, "action");
    Logger::Debug("[Backbone::Process] action to run : " + ToolBox::MaskSecretsInText(action));
    if (action == "mkdir") {
        content = JSON::MakeBool(Operations::Local::MakeFolder(StringMember(args, "path")));
        return kRcDone;
    }
    for (const RunAction& entry : kActions) {
        if (action == entry.name) return entry.handler(args, content, context);
    }
    Logger::Error("[Backbone::Process]Unknow param type : " + ToolBox::MaskSecretsInText(action));
    return kRcUnknownAction;
}

int Backbone::ActionCallWS(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo& context) {
    bool noAuth = false;
    JSON::GetBoolField("noAuth", noAuth, action);
    std::string response;
    if (!Utils::callWebService(context, StringMember(action, "url"), StringMember(action, "arg"), response, noAuth)) {
        return kRcNoResponse;
    }
    content = JSON::MakeString(response, true);
    return kRcDone;
}

int Backbone::ActionExecute(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo&) {
    bool runas = false;
    JSON::GetBoolField("runas", runas, action);
    const int timeout = IntMember(action, "timeout");
    const JSON::Value* cmd = action->Find("cmd");
    if (!cmd || !cmd->IsArray()) {
        Logger::Error(
            "[Backbone::Process]invalid commandline item ! expecting an JSONarray into this field [cmd] instead of : " +
            (cmd ? ToolBox::MaskSecretsInJson(*cmd) : std::string("NULL")));
        return kRcNoCommandArray;
    }
    Logger::Debug("[Backbone::Process] raw cmd to execute : " + ToolBox::MaskSecretsInJson(*cmd));
    std::vector<std::string> list;
    bool failed = false;
    for (std::size_t i = 0; i < cmd->Size(); ++i) {
        const JSON::Value* element = cmd->At(static_cast<std::ptrdiff_t>(i));
        if (element->IsString()) {
            list.push_back(element->GetText());
        } else if (element->GetKind() == JSON::ValueKind::Null) {
            // User extensions send an empty argument as null.
            list.emplace_back();
        } else {
            Logger::Error("[Backbone::Process]invalid commandline array at [" + std::to_string(i) +
                          "] ! this item is not a JSON string.");
            failed = true;
        }
    }
    if (failed) return kRcCommandElementNotString;
    Logger::Debug("[Backbone::Process] cmd to execute : " + ToolBox::MaskSecretsInText(ToolBox::Join(list, " ")));
    std::int32_t exitCode = 0;
    if (!Operations::Local::ExecuteCmd(list, exitCode, false, timeout, runas, -1)) return kRcCommandNotStarted;
    content = JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(exitCode));
    return kRcDone;
}

int Backbone::ActionCheckFile(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo&) {
    content = JSON::MakeBool(Operations::Local::CheckFile(StringMember(action, "path"), IntMember(action, "kind"),
                                                          IntMember(action, "access")));
    return kRcDone;
}

int Backbone::ActionUnzip(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo&) {
    const std::string zip = StringMember(action, "target");
    std::vector<std::string> parts;
    ToolBox::Split(zip, "\\", parts);
    const std::string name = ToolBox::ReplaceAll(parts.empty() ? std::string() : parts.back(), ".zip", "", false);
    Logger::Debug("[Backbone::Process] zip's filenmae in use : " + ToolBox::MaskSecretsInText(name));
    std::string folder;
    if (Config::IsActivated(ConfigOption::KEEP_MEDIA_UNZIP)) {
        FileAndFoldersManager::GetFolderPath(FolderId::OPERATION, folder, true, nullptr);
        folder += "\\media_unzip_cache";
    } else {
        FileAndFoldersManager::GetFolderPath(FolderId::UNZIP, folder, true, nullptr);
        folder += "\\" + UniqueUnzipName();
        if (ToolBox::File::Exists(folder)) {
            Logger::Debug("[Backbone::Process]Deleting the unzippped folder : " + folder);
            ToolBox::File::Delete(folder);
        }
    }
    Logger::Debug("[Backbone::Process] unzip target folder path : " + folder);
    const std::int32_t result = Operations::Local::Unzip(zip, folder);
    content = JSON::MakeObject({{"rc", JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(result))},
                                {"output", JSON::MakeString(folder, true)}});
    return result == kUnzipDone ? kRcDone : result == kUnzipArgumentEmpty ? kRcUnzipArgumentEmpty : kRcUnzipFailed;
}

int Backbone::ActionMkshortcut(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo&) {
    // Without a "cmd" array the list is empty, which the shortcut refuses.
    std::vector<std::string> list;
    const JSON::Value* cmd = action->Find("cmd");
    if (cmd && cmd->IsArray()) {
        for (std::size_t i = 0; i < cmd->Size(); ++i) {
            const JSON::Value* element = cmd->At(static_cast<std::ptrdiff_t>(i));
            list.push_back(element->GetText());  // empty for kinds other than text and number
        }
    }
    const HRESULT hr = Utils::MakeShortcut(list, StringMember(action, "scName"), StringMember(action, "scDesc"),
                                           StringMember(action, "iconPath"), IntMember(action, "iconIndex"));
    content = JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(hr));
    return kRcDone;
}
