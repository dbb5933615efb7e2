// The dispatcher: a request's text, command line or document to the handler of its op;
// and the op "postStatus", a window message posted to a window found by its class name.

#include <string>

#include "Backbone.h"
#include "Json.h"
#include "Logger.h"
#include "OperationsLocal.h"
#include "OrdanaRequestInfo.h"
#include "ReturnCodes.h"
#include "Sleeper.h"
#include "ToolBox.h"

namespace {

using Handler = int (*)(const OrdanaRequestInfo&, const JSON::Value*, const std::string&, JSON::ValuePtr&);

struct Op {
    const char* name;
    Handler handler;
};

// Looked up in this order; ops whose handlers are not built yet are simply absent.
const Op kOps[] = {
    {"exe", &Backbone::AskUserConfirmation},
    {"url", &Backbone::AskUserConfirmation},
    {"postStatus", &Backbone::ProcessPostStatus},
    {"bind", &Backbone::ProcessBindInit},
    {"init", &Backbone::ProcessBindInit},
    {"run", &Backbone::ProcessRun},
    {"update", &Backbone::ProcessUpdate},
};

JSON::ValuePtr WideArgument(const wchar_t* text) {
    return JSON::MakeString(ToolBox::WCStrToString(text ? text : L""), true);
}

// The "args" of a command line whose argv[1] is the op: none without an op, null for the op
// alone, the text of one argument, or an array of the texts of several.
JSON::ValuePtr ArgumentsOf(wchar_t** argv, int argc) {
    if (argc < 2) return nullptr;
    if (argc == 2) return JSON::MakeNull();
    if (argc == 3) return WideArgument(argv[2]);
    JSON::ValuePtr args = JSON::MakeArray();
    auto* array = static_cast<JSON::Array*>(args.get());
    for (int i = 2; i < argc; ++i) array->PushBack(WideArgument(argv[i]));
    return args;
}

}  // namespace

int Backbone::Process(const std::string& text, JSON::ValuePtr& content) {
    Logger::Debug("[Backbone::Process]process by pass on string : " + ToolBox::MaskSecretsInRequestText(text));
    JSON::Builder builder;
    builder.ParseString(text);
    JSON::ValuePtr document = builder.Detach();
    return Process(document.get(), content);
}

int Backbone::Process(wchar_t** argv, int argc, JSON::ValuePtr& content) {
    // The command line is the request's text: it is masked like a request from the pipe.
    Logger::Debug("[Backbone::Process]process by pass on wchar array : " +
                  ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(ToolBox::JoinWideArgs(argv, argc, L","))));
    const JSON::ValuePtr document = JSON::MakeObject(
        {{"op", WideArgument(argc > 1 ? argv[1] : nullptr)}, {"args", ArgumentsOf(argv, argc)}});
    return Process(document.get(), content);
}

int Backbone::Process(const JSON::Value* request, JSON::ValuePtr& content) {
    if (!request) {
        Logger::Error("[Backbone::Process] No parameters !");
        return kRcNoJsonDocument;
    }
    int code = kRcDone;
    try {
        Logger::Debug("[Backbone::Process]starting processing of these parameters : " +
                      ToolBox::MaskSecretsInJson(*request));
        OrdanaRequestInfo context;
        std::string op;
        JSON::GetStringField("op", op, request);
        JSON::Value* cinfo = nullptr;
        JSON::GetContainerField("cinfo", cinfo, request);
        Logger::Debug("[Backbone::Process]operation To do : [" + ToolBox::MaskSecretsInText(op) + "]");
        if (!OrdanaRequestInfo::build(cinfo, context)) {
            Logger::Error("[Backbone::Process] cannot build requestInfo from JSON : " +
                          (cinfo ? ToolBox::MaskSecretsInJson(*cinfo) : std::string("nullptr")));
        } else {
            Logger::Internal("[Backbone::Process] OrdanaRequestInfo in-use : " + context.toString());
        }
        const JSON::Value* args = request->Find("args");
        if (!args) {
            Logger::Error("[Backbone::Process]No [args] object was gave !");
            code = kRcNoArgs;
        } else {
            code = kRcUnknownOp;
            bool known = false;
            for (const Op& entry : kOps) {
                if (op == entry.name) {
                    code = entry.handler(context, args, op, content);
                    known = true;
                    break;
                }
            }
            if (!known) Logger::Error("[Backbone::Process]Unknow param type : " + ToolBox::MaskSecretsInText(op));
        }
    } catch (...) {
        LogCurrentException(std::current_exception(), "[Backbone::Process]Exception thrown : ");
        code = kRcException;
        content = JSON::MakeNull();
    }
    Logger::Debug("[Backbone::Process] return code : " + std::to_string(code));
    return code;
}

int Backbone::ProcessPostStatus(const OrdanaRequestInfo&, const JSON::Value* args, const std::string&,
                                JSON::ValuePtr&) {
    JSON::ValuePtr parsed;
    const JSON::Value* object = args;
    if (args->IsString()) {
        JSON::Builder builder;
        builder.ParseString(args->GetText());
        parsed = builder.Detach();
        if (!parsed || !parsed->IsObject()) {
            Logger::Error("[Backbone::Process]Fail to parse raw JSON string : '" +
                          ToolBox::MaskSecretsInRequestText(args->GetText()) + "'");
            return kRcPostArgsUnusable;
        }
        object = parsed.get();
    }

    bool missing = false;
    std::string wnd, label, lparamText, wparamText;
    auto read = [&](const char* name, std::string& out) {
        if (JSON::GetStringField(name, out, object)) return true;
        Logger::Error(std::string("[Backbone::Process]JSON field [") + name + "] is missing !");
        missing = true;
        return false;
    };
    // The platform would read the class name only up to a NUL: another window would get the message.
    if (read("wnd", wnd) && ToolBox::HoldsNul(wnd)) {
        Logger::Error("[Backbone::Process]JSON field [wnd] holds a NUL character !");
        missing = true;
    }
    // Each present number is converted at once: a bad one throws, answered kRcException.
    std::int64_t message = read("label", label) ? std::stoll(label, nullptr, 10) : 0;
    std::int64_t lparam = read("lparam", lparamText) ? std::stoll(lparamText, nullptr, 10) : 0;
    // wparam travels as an unsigned 64-bit number ("-1" still wraps to all ones).
    std::uint64_t wparam = read("wparam", wparamText) ? std::stoull(wparamText, nullptr, 10) : 0;
    if (missing) return kRcPostArgsUnusable;

    const auto label32 = static_cast<std::uint32_t>(message);
    Logger::Debug("[Backbone::Process]Posting to window(" + ToolBox::MaskSecretsInText(wnd) + ") : msg[" +
                  std::to_string(label32) + "]//w[" + std::to_string(wparam) + "]//l[" + std::to_string(lparam) + "]");
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (Operations::Local::PostMessageToWindow(wnd, label32, wparam, lparam)) {
            Logger::DebugW(L"[Backbone::Process]PostMessageToSysTray succeed !");
            return kRcDone;
        }
        GetSleeper().Sleep(5000);
    }
    Logger::ErrorW(L"[Backbone::Process]PostMessageToSysTray failed !");
    return kRcPostFailed;
}
