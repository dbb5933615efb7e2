#pragma once
// The launcher's request server: one named pipe, one thread per client, one JSON request
// and one JSON reply per connection, and the dispatcher of the ops.

#include <atomic>
#include <cstdint>
#include <string>

#include "JsonValue.h"
#include "ZYNSysWin.h"

class OrdanaRequestInfo;

// Stop the server without telling the launcher service.
constexpr UINT WM_STOP_UE = WM_USER + 25;

class Backbone {
public:
    // ---- server ----
    // Serves the pipe named by argv[2]; stores its return code and posts WM_QUIT to the
    // window (when there is one) on every exit.
    static void Run(wchar_t** argv, int argc, int* returnCode, HWND window);
    // Sets the running flag ahead of Run, for a caller that must see the server running from
    // the moment it starts Run's thread; Run clears it on every exit.
    static void MarkRunning();
    static void threadFunc(HANDLE pipe);
    // False only when the service had to be told and could not be.
    static bool Stop(bool notifyService);

    // How long reading one whole request, and then replying, may each take before the client
    // is dropped; kPipeExchangeMilliseconds unless a test sets a shorter time.
    static void SetExchangeDeadline(DWORD milliseconds);

    static bool IsRunning() { return running_.load(); }
    // Client threads still answering.
    static int ActiveClients() { return activeClients_.load(); }
    // Waits up to the given time for the client threads, and for stops still telling the
    // service (the watchdog's runs on a thread of its own), to end; true when none is left.
    static bool WaitForClients(DWORD milliseconds);

    // ---- dispatcher ----
    static int Process(const std::string& text, JSON::ValuePtr& content);
    static int Process(wchar_t** argv, int argc, JSON::ValuePtr& content);
    static int Process(const JSON::Value* request, JSON::ValuePtr& content);

    // ---- ops ----
    // "exe" and "url": asks the interactive user; always kRcDone, the answer is the content.
    static int AskUserConfirmation(const OrdanaRequestInfo& context, const JSON::Value* args, const std::string& op,
                                   JSON::ValuePtr& content);
    // Shows the confirmation box and answers one of the kPopup... codes; the log shows the
    // message as logged (the inserted client text masked, its line breaks escaped).
    static int MakePopup(const std::wstring& message, const std::string& logged);
    static int ProcessPostStatus(const OrdanaRequestInfo& context, const JSON::Value* args, const std::string& op,
                                 JSON::ValuePtr& content);
    // "bind" and "init": one notice to the launcher service about this session.
    static int ProcessBindInit(const OrdanaRequestInfo& context, const JSON::Value* args, const std::string& op,
                               JSON::ValuePtr& content);
    // "run": one action object in args; "mkdir" is done here.
    static int ProcessRun(const OrdanaRequestInfo& context, const JSON::Value* args, const std::string& op,
                          JSON::ValuePtr& content);

    // "update": installs a new launcher package with msiexec; no content.
    static int ProcessUpdate(const OrdanaRequestInfo& context, const JSON::Value* args, const std::string& op,
                             JSON::ValuePtr& content);

    // ---- run actions ----
    static int ActionDownloadMedia(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo& context);
    static int ActionCallWS(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo& context);
    static int ActionExecute(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo& context);
    static int ActionUnzip(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo& context);
    static int ActionMkshortcut(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo& context);
    static int ActionCheckFile(const JSON::Value* action, JSON::ValuePtr& content, const OrdanaRequestInfo& context);

    static constexpr const wchar_t* kWindowClass = L"VarometLauncher Backbone";
    static constexpr const wchar_t* kServicePipe = L"\\\\.\\pipe\\zyn_launcher_pipe";

private:
    static std::atomic<bool> running_;
    static std::atomic<int> activeClients_;
    static std::atomic<int> stopsInProgress_;
};
