#include "OperationsAsUser.h"

#include <memory>
#include <utility>

#include "Json.h"
#include "LaunchDaemon.h"
#include "Logger.h"
#include "OrdanaRequestInfo.h"
#include "ReturnCodes.h"
#include "SharedData.h"
#include "ToolBox.h"
#include "UserExtension.h"

namespace Operations {

namespace {

constexpr char kRun[] = "[Operations::AsUser::RunOperationByUserExtension]";

// An extension may echo the request context back: its ticket must not reach the log.
std::string Shown(const JSON::Value* value) {
    return value ? ToolBox::MaskSecretsInJson(*value) : std::string("NULL");
}

}  // namespace

std::uint32_t AsUser::RunOperationByUserExtension(const OrdanaRequestInfo& requestInfo, const std::string& op,
                                                  const JSON::Value* args, JSON::ValuePtr& content) {
    Logger::Internal(std::string("[Operations::AsUser::RunOperationByUserExtension] try to execute opertions with "
                                 "args :\ncInfo=") +
                     requestInfo.toString() + "\nop=" + op + "\nargs_o=" +
                     (args ? ToolBox::MaskSecretsInJson(*args) : std::string("null")));
    const JSON::ValuePtr request = JSON::MakeObject({{"op", JSON::MakeString(op, true)},
                                                     {"cinfo", requestInfo.toJSON()},
                                                     {"args", args ? args->Clone() : JSON::MakeNull()}});

    const std::shared_ptr<UserExtension> extension = SharedData::GetExtension(requestInfo);
    if (!extension) {
        Logger::Error(std::string(kRun) + "Fail to retrieve user Extension.");
        return kAsUserUnreachable;
    }
    JSON::ValuePtr reply;
    bool oversized = false;
    if (!extension->RunOperation(request.get(), reply, &oversized)) {
        // A reply too large to read is a malformed answer, not an unreachable extension.
        if (oversized) {
            Logger::Error(std::string(kRun) + "reply of the sub-process refused : too large.");
            return kAsUserMalformedReply;
        }
        Logger::Error(std::string(kRun) + "Fail to run the requested operation.");
        return kAsUserUnreachable;
    }
    if (!reply || !reply->IsObject()) {
        Logger::Error(std::string(kRun) + "invalid data structure returned by the sub-process ! current structure : " +
                      Shown(reply.get()));
        return kAsUserMalformedReply;
    }
    Logger::Internal(std::string(kRun) + "result object : " + ToolBox::MaskSecretsInJson(*reply));
    int rc = 0;
    if (!JSON::GetIntField("rc", rc, reply.get())) {
        Logger::Error(std::string(kRun) + "JSON field [rc] is missing or is not a number !");
        return kAsUserMalformedReply;
    }
    if (rc != kRcDone) {
        Logger::Error(std::string(kRun) + "Execute fail ! sub-process return code : " + std::to_string(rc));
        return static_cast<std::uint32_t>(rc);
    }
    const JSON::Value* found = reply->Find("content");
    if (!found) {
        Logger::Error(std::string(kRun) + "JSON field [content] is missing !");
        return kAsUserMalformedReply;
    }
    JSON::ValuePtr copy = found->Clone();
    if (!copy) {
        Logger::Error(std::string(kRun) + "JSON field [content] could not be copied !");
        return kAsUserMalformedReply;
    }
    content = std::move(copy);
    return kAsUserDone;
}

std::uint32_t AsUser::ExecuteCommandAsUser(const OrdanaRequestInfo& requestInfo, const std::vector<std::string>& cmd,
                                           std::int32_t& exitCode, std::uint32_t timeoutMs, bool runas) {
    Logger::Debug("[Operations::AsUser::ExecuteCommandAsUser]try to launch this command-line AsUser :\n" +
                  ToolBox::MaskSecretsInText(JoinStrings(cmd, " ")));
    JSON::ValuePtr list = JSON::MakeArray();
    auto* array = static_cast<JSON::Array*>(list.get());
    // An empty argument stays an empty string: null would need the far side to read it back.
    for (const std::string& element : cmd) array->PushBack(JSON::MakeString(element, false));
    const JSON::ValuePtr args = JSON::MakeObject({{"action", JSON::MakeString("Execute", true)},
                                                  {"cmd", std::move(list)},
                                                  {"runas", JSON::MakeBool(runas)},
                                                  {"timeout", JSON::MakeNumberFromUInt(timeoutMs)}});

    JSON::ValuePtr content;
    std::uint32_t code = RunOperationByUserExtension(requestInfo, "run", args.get(), content);
    if (code != kAsUserDone) return code;
    if (!content || !content->IsNumber()) {
        Logger::Error(
            "[Operations::AsUser::ExecuteCommandAsUser]invalid data structure returned by the sub-process ! current "
            "structure : " +
            Shown(content.get()));
        return kAsUserMalformedReply;
    }
    exitCode = content->GetInt();
    return kAsUserDone;
}

std::uint32_t AsUser::MakeFolderAsUser(const OrdanaRequestInfo& requestInfo, const std::string& path,
                                       bool& created) {
    if (path.empty()) {
        created = false;
        Logger::Error("[Operations::AsUser::MakeFolderAsUser]empty string was gave.");
        return kAsUserDone;
    }
    Logger::Debug("[Operations::AsUser::MakeFolderAsUser] try to create this folder: " +
                  ToolBox::MaskSecretsInText(path));
    const JSON::ValuePtr args =
        JSON::MakeObject({{"action", JSON::MakeString("mkdir", true)}, {"path", JSON::MakeString(path, true)}});

    JSON::ValuePtr content;
    const std::uint32_t code = RunOperationByUserExtension(requestInfo, "run", args.get(), content);
    if (code != kAsUserDone) return code;
    if (!content || !content->IsBool()) {
        Logger::Error(
            "[Operations::AsUser::MakeFolderAsUser]invalid data structure returned by the sub-process ! current "
            "structure : " +
            Shown(content.get()));
        return kAsUserMalformedReply;
    }
    created = content->GetBool();
    if (created) Logger::Debug("[Operations::AsUser::MakeFolderAsUser]Call success full !");
    return kAsUserDone;
}

std::uint32_t AsUser::PostMessageToWindowAsUser(const OrdanaRequestInfo& requestInfo, const std::string& windowClass,
                                                std::uint32_t message, std::uint64_t wparam, std::int64_t lparam) {
    Logger::Debug("[Operations::AsUser::PostMessageToWindowAsUser]try to post this message AsUser : windows:[" +
                  ToolBox::MaskSecretsInText(windowClass) + "]//label:[" + std::to_string(message) + "]//wparam:[" +
                  std::to_string(wparam) + "]//lparam:[" + std::to_string(lparam) + "]");
    const JSON::ValuePtr args = JSON::MakeObject({{"wnd", JSON::MakeString(windowClass, true)},
                                                  {"label", JSON::MakeString(std::to_string(message), true)},
                                                  {"lparam", JSON::MakeString(std::to_string(lparam), true)},
                                                  {"wparam", JSON::MakeString(std::to_string(wparam), true)}});
    JSON::ValuePtr content;
    return RunOperationByUserExtension(requestInfo, "postStatus", args.get(), content);
}

}  // namespace Operations
