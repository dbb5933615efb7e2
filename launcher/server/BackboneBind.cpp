// The ops "bind" and "init": one notice to the launcher service about this session.

#include <string>

#include "Backbone.h"
#include "Json.h"
#include "Logger.h"
#include "OrdanaRequestInfo.h"
#include "PipeConnection.h"
#include "ReturnCodes.h"
#include "ServiceNotice.h"
#include "ToolBox.h"
#include "Utils.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr char kScheme[] = "qxlaunch://";

// The uuid of a "qxlaunch://<uuid>/" link, or the text itself.
std::string OrdanaId(const JSON::Value* args) {
    std::string text = args->IsString() ? args->GetText() : std::string();
    if (text.rfind(kScheme, 0) == 0) {
        text = ToolBox::ReplaceAll(text, kScheme, "", true);
        text = ToolBox::ReplaceAll(text, "/", "", true);
    }
    return text;
}

}  // namespace

int Backbone::ProcessBindInit(const OrdanaRequestInfo&, const JSON::Value* args, const std::string& op,
                              JSON::ValuePtr&) {
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    Logger::DebugW(L"[Backbone::Process]Retrieveing Named pipe handle ...");

    // A malformed id is refused before the service hears of it: an empty message would
    // count there as a failing client.
    std::string uuid;
    if (op == "bind") {
        uuid = OrdanaId(args);
        if (!IsValidUuid(uuid)) {
            Logger::Error("[Backbone::Process] invalid ordana id ! the given uuid does not  have a valid suntax : " +
                          ToolBox::MaskSecretsInText(uuid));
            return kRcInvalidUuid;
        }
    }
    // The same for a session id that is no number: it throws here, answered kRcException by the
    // dispatcher, before a connection the service would read as empty.
    std::uint32_t id = session;
    if (op != "bind" && args->IsString()) id = static_cast<std::uint32_t>(std::stoi(args->GetText(), nullptr, 10));

    ZYNSysKernelHandle pipe;
    switch (OpenPipeForWriting(kServicePipe, kServiceBusyRetries, pipe)) {
        case PipeOpenResult::TimedOut:
            Logger::WarnW(L"[Backbone::Process]Could not open pipe: 5 second wait timed out.");
            Logger::ErrorW(L"[Backbone::Process] Fail to create handle on Named pipe !");
            return kRcServicePipeUnreachable;
        case PipeOpenResult::Failed:
            Logger::ErrorW(L"[Backbone::Process]Could not open pipe.");
            Logger::ErrorW(L"[Backbone::Process] Fail to create handle on Named pipe !");
            return kRcServicePipeUnreachable;
        case PipeOpenResult::Opened:
            break;
    }
    Logger::Debug("[Backbone::Process] Named pipe handle found : " + ToolBox::PointerToString(pipe.Get()));

    JSON::ValuePtr notice;
    if (op == "bind") {
        Logger::Debug("[Backbone::Process]Binding current session [" + std::to_string(session) +
                      "] with this ordana UUID : " + uuid);
        notice = JSON::MakeObject({{"sessionID", JSON::MakeNumberFromUInt(session)},
                                   {"uuid", JSON::MakeString(uuid, false)}});
    } else {
        Logger::Debug("[Backbone::Process]Init current session [" + std::to_string(static_cast<std::int32_t>(id)) +
                      "] within the launcher...");
        notice = JSON::MakeObject({{"sID", JSON::MakeNumberFromUInt(id)}});
    }
    const std::string text = notice ? notice->Dump() : std::string();
    Logger::Debug("[Backbone::Process] write data into Named pipe : " + text);
    if (!WritePipeMessage(pipe.Get(), text)) {
        Logger::ErrorWithSystemError("[Backbone::Process] fail to write into named pipe this content : " + text);
        return kRcNoticeWriteFailed;
    }
    return kRcDone;
}
