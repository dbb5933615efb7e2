#include "ServiceNotice.h"

#include <string>

#include "Backbone.h"
#include "Json.h"
#include "Logger.h"
#include "PipeConnection.h"
#include "ToolBox.h"
#include "ZYNSysKernelHandle.h"

bool ServiceNotice::SendClosing(std::uint32_t session) {
    Logger::DebugW(L"[Backbone::Stop]Retrieveing the Service Named pipe handle ...");
    ZYNSysKernelHandle pipe;
    switch (OpenPipeForWriting(Backbone::kServicePipe, kServiceBusyRetries, pipe)) {
        case PipeOpenResult::TimedOut:
            Logger::WarnWithSystemError("[Backbone::Stop]Could not open pipe: 5 second wait timed out.");
            Logger::Info("[Backbone::Stop] Fail to create handle on Named pipe !");
            return true;
        case PipeOpenResult::Failed:
            Logger::Error("[Backbone::Stop]Could not open pipe.");
            Logger::Info("[Backbone::Stop] Fail to create handle on Named pipe !");
            return true;
        case PipeOpenResult::Opened:
            break;
    }
    Logger::Debug("[Backbone::Stop] Named pipe handle found : " + ToolBox::PointerToString(pipe.Get()));
    const JSON::ValuePtr notice = JSON::MakeObject({{"closingSession", JSON::MakeNumberFromUInt(session)}});
    const std::string text = notice ? notice->Dump() : std::string();
    Logger::Debug("[Backbone::Stop] write data into Named pipe : " + text);
    if (!WritePipeMessage(pipe.Get(), text)) {
        Logger::ErrorWithSystemError("[Backbone::Stop] fail to write into named pipe this content : " + text);
        return false;
    }
    return true;
}
