#include "UserExtension.h"

#include "ZYNSysWin.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <exception>
#include <optional>
#include <vector>

#include "Backbone.h"
#include "Config.h"
#include "Globals.h"
#include "Json.h"
#include "Logger.h"
#include "OperationsLocal.h"
#include "PathName.h"
#include "PipeConnection.h"
#include "ProcessAsUser.h"
#include "Sleeper.h"
#include "ToolBox.h"
#include "ZYNSysEnvironmentBlock.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr DWORD kCreationFlags = CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
static_assert(kCreationFlags == 0x09000400);

constexpr int kPipeTries = 3;
constexpr DWORD kPipeWaitMs = 1000;
constexpr std::uint32_t kAfterFailedWaitMs = 1000;
constexpr std::uint32_t kAfterFailedOpenMs = 5000;
constexpr DWORD kStopWaitMs = 5000;
constexpr char kStopMessage[] = "STOP";
constexpr char kBackboneClass[] = "VarometLauncher Backbone";
constexpr char kRunOperation[] = "[UserExtension::RunOperation]";

std::atomic<std::uint32_t> g_exchangeMargin{kPipeExchangeMilliseconds};
std::atomic<std::uint32_t> g_stopWait{kStopWaitMs};

std::mutex g_basePathLock;
std::string g_basePath;

// Computed once; later constructions keep the first answer.
void ComputeBasePath() {
    std::lock_guard<std::mutex> guard(g_basePathLock);
    if (!g_basePath.empty()) return;
    std::string path;
    if (Config::IsActivated(ConfigOption::TEST_MODE) && ToolBox::GetEnv("TRQ_LAUNCHER_GUIEXE_PATH", path)) {
        g_basePath = path;
    } else {
        g_basePath = ToolBox::GetExecutableFolder().GetText() + "\\VarometLauncherGUI.exe";
    }
    Logger::Internal("[UserExtension] base executable path : " + g_basePath);
}

// The debugging pause: only a positive 32-bit decimal counts, anything else is no pause.
std::optional<std::uint32_t> DebugPause(const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value <= 0 || value > INT_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

// How long the relayed request may keep the far side busy by itself, in milliseconds, or
// nothing when it waits without limit. An Execute waits its "timeout" for its program, read
// as the far side reads it (0 or absent: no wait; INFINITE: until the program ends); nothing
// else relayed waits on anything.
std::optional<std::uint64_t> OwnLimit(const JSON::Value* request) {
    std::string op;
    std::string action;
    const JSON::Value* args = request->Find("args");
    if (!JSON::GetStringField("op", op, request) || op != "run" || !args ||
        !JSON::GetStringField("action", action, args) || action != "Execute")
        return 0;
    int timeout = 0;
    JSON::GetIntField("timeout", timeout, args);
    if (static_cast<DWORD>(timeout) == INFINITE) return std::nullopt;
    return static_cast<DWORD>(timeout);
}

void LogGivenUp(PipeEnd end, std::optional<std::uint64_t> bound) {
    if (end == PipeEnd::Stopped) {
        Logger::Error(std::string(kRunOperation) + "GLOBAL STOP ORDER ! exchange with the sub-process given up.");
    } else if (end == PipeEnd::TimedOut) {
        Logger::Error(std::string(kRunOperation) + "exchange with the sub-process given up after " +
                      std::to_string(bound.value_or(0)) + " ms.");
    }
}

}  // namespace

void UserExtension::SetExchangeMargin(std::uint32_t milliseconds) { g_exchangeMargin.store(milliseconds); }

void UserExtension::SetStopWait(std::uint32_t milliseconds) { g_stopWait.store(milliseconds); }

std::string UserExtension::BaseExecutablePath() {
    std::lock_guard<std::mutex> guard(g_basePathLock);
    return g_basePath;
}

UserExtension::UserExtension(std::uint32_t sessionId) : sessionId_(sessionId) { ComputeBasePath(); }

UserExtension::~UserExtension() {
    try {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        if (!setUp_) return;
        // Closed even when the stop failed: the job's kill-on-close ends what is left.
        if (!Kill()) {
            Logger::Warn("[UserExtension::~UserExtension]UserExtension[" + std::to_string(sessionId_) +
                         "] did not stop, closing its job ends it.");
        }
        CloseHandles();
    } catch (...) {
        LogCurrentException(std::current_exception(), "[UserExtension::~UserExtension]");
    }
}

std::string UserExtension::PipeName() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return pipeName_;
}

DWORD UserExtension::ProcessId() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return process_.ProcessId();
}

void UserExtension::CloseHandles() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    process_.Reset();
    pipeName_.clear();
    setUp_ = false;
}

bool UserExtension::IsRunning() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const std::string head = "[UserExtension::IsRunning] UserExtension[" + std::to_string(sessionId_) + "]";
    if (!setUp_) {
        Logger::Internal(head + " not setup.");
        return false;
    }
    if (!running_) {
        Logger::Internal(head + " exitCode : " + std::to_string(exitCode_));
        return false;
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.Process(), &code)) {
        Logger::ErrorWithSystemError(head + " GetExitCodeProcess failed : " + std::to_string(::GetLastError()));
        running_ = false;
        exitCode_ = -1;
        return true;
    }
    if (code == STILL_ACTIVE) {
        running_ = true;
        exitCode_ = -1;
        Logger::Internal(head + " is currently running.");
        return true;
    }
    running_ = false;
    exitCode_ = static_cast<std::int32_t>(code);
    Logger::Internal(head + " exitCode : " + std::to_string(exitCode_));
    return false;
}

bool UserExtension::Start() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const std::string id = std::to_string(sessionId_);
    Logger::Internal("[UserExtension::Start]Starting UserExtension[" + id + "]...");
    if (IsRunning()) return true;
    if (setUp_) CloseHandles();

    pipeName_ = "\\\\.\\pipe\\userExt_" + id + "_" + std::to_string(ToolBox::NowSeconds());
    const std::string commandLine = "\"" + BaseExecutablePath() + "\" run " + pipeName_;

    // Suspended until it is in its job, so that no extension ever runs outside one.
    ProcessStartRequest request{sessionId_, ToolBox::Utf8ToWide(commandLine), kCreationFlags, true};
    ProcessStart start = StartProcessAsUser(request);
    bool asUser = true;
    if (start.failed == ProcessStartStep::Token) {
        Logger::Error("[UserExtension::Start]Fail to retrieve user's token !");
        if (!Config::IsActivated(ConfigOption::IGNORE_TOKEN_ERROR)) {
            pipeName_.clear();
            return false;
        }
        asUser = false;
        if (Config::IsActivated(ConfigOption::TEST_MODE)) {
            request.session.reset();
            start = StartProcessAsUser(request);
        }
    }
    if (start.failed == ProcessStartStep::Environment) {
        Logger::ErrorW(L"[UserExtension::Start] Fail to create Environment objects!");
        pipeName_.clear();
        return false;
    }
    if (asUser) Logger::Internal("[UserExtension::Start] Start process with command-line : " + commandLine);
    if (start.environmentNotDestroyed) Logger::ErrorW(L"[UserExtension::Start] Fail to delete Environment objects!");
    if (start.failed == ProcessStartStep::Token || start.failed == ProcessStartStep::Create) {
        Logger::ErrorW(L"[UserExtension::Start] CreateProcessAsUserW failed !");
        CloseHandles();
        return false;
    }
    Logger::InternalW(L"[UserExtension::Start] CreateProcessAsUserW successed !");
    // A process that could not be put in its job, or resumed there, has been ended before it
    // ever ran: left alone it would outlive the launcher, and every retry would add one more.
    switch (start.failed) {
        case ProcessStartStep::Job:
            Logger::Error("[UserExtension::Start]Fail to set info on the JobObject for UserExtension[" + id + "]");
            CloseHandles();
            return false;
        case ProcessStartStep::Assign:
            Logger::Error("[UserExtension::Start]Fail to assign the current Process to the JobObject for "
                          "UserExtension[" + id + "]");
            CloseHandles();
            return false;
        case ProcessStartStep::Resume:
            ::SetLastError(start.error);
            Logger::ErrorWithSystemError("[UserExtension::Start]Fail to resume the process of UserExtension[" + id +
                                         "]");
            CloseHandles();
            return false;
        default:
            break;
    }
    process_ = std::move(start.process);

    std::string pause;
    if (ToolBox::GetEnv("ZYNLD_DEBUG", pause)) {
        if (const auto milliseconds = DebugPause(pause)) {
            Logger::DeferredDebug("[UserExtension::Start]Sleeping for " + pause + " ms");
            GetSleeper().Sleep(*milliseconds);
        }
    }

    Logger::Internal("[UserExtension::Start]Successfully Started UserExtension[" + id + "]");
    setUp_ = true;
    running_ = true;
    if (!IsRunning()) {
        CloseHandles();
        return false;
    }
    return true;
}

bool UserExtension::openPipe(ZYNSysKernelHandle& handle) {
    handle.Reset();
    std::string name;
    DWORD expectedServer = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(lock_);
        name = pipeName_;
        expectedServer = process_.ProcessId();
    }
    const std::wstring wideName = ToolBox::Utf8ToWide(name);
    for (int attempt = 0; attempt < kPipeTries; ++attempt) {
        const std::string tryText = "{" + std::to_string(attempt) + "}";
        if (!::WaitNamedPipeW(wideName.c_str(), kPipeWaitMs)) {
            Logger::WarnW(L"[UserExtension::openPipe]" + ToolBox::Utf8ToWide(tryText) + L"Could not open OUT pipe[" +
                          wideName + L"] : wait timed out.");
            GetSleeper().Sleep(kAfterFailedWaitMs);
            continue;
        }
        handle.Reset(::CreateFileW(wideName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   ClientPipeOpenFlags(), nullptr));
        if (handle) {
            Logger::Internal("[UserExtension::openPipe]" + tryText + "IN Named pipe[" + name + "] handle found : " +
                             ToolBox::PointerToString(handle.Get()));
            break;
        }
        // The next wait waits for a free instance.
        if (::GetLastError() == ERROR_PIPE_BUSY) continue;
        Logger::Error("[UserExtension::openPipe]" + tryText + "Could not open IN pipe[" + name +
                                     "]. sleep awhile ...");
        GetSleeper().Sleep(kAfterFailedOpenMs);
    }
    if (!handle) return false;

    // The name is predictable: a process that took it first must not get the request and its
    // ticket. A server that cannot be identified is refused as well.
    ULONG server = 0;
    if (!::GetNamedPipeServerProcessId(handle.Get(), &server) || server != expectedServer) {
        Logger::Error("[UserExtension::openPipe]pipe[" + name + "] is served by process " + std::to_string(server) +
                      " instead of the UserExtension's process " + std::to_string(expectedServer) + " : refused.");
        handle.Reset();
        return false;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(handle.Get(), &mode, nullptr, nullptr)) {
        Logger::ErrorW(L"[UserExtension::openPipe]SetNamedPipeHandleState failed !");
        return false;
    }
    return true;
}

bool UserExtension::RunOperation(const JSON::Value* request, JSON::ValuePtr& reply, bool* oversized) {
    if (oversized) *oversized = false;
    if (!Start()) {
        Logger::Error("[UserExtension::RunOperation]Fail To start userExtention !");
        return false;
    }
    if (!request) {
        Logger::Error("[UserExtension::RunOperation]No data to write !");
        return false;
    }
    ZYNSysKernelHandle pipe;
    if (!openPipe(pipe)) {
        Logger::Error(
            "[UserExtension::RunOperation]Fail to open the output pipe created by the UserExtension's sub-process !");
        return false;
    }
    const std::string text = request->Dump();
    // The request context carries the ticket.
    const std::string shown = ToolBox::MaskSecretsInJson(*request);
    Logger::Internal("[UserExtension::RunOperation]try to run operation : " + shown);
    ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event) {
        Logger::ErrorWithSystemError(std::string(kRunOperation) + "fail to create the exchange's event");
        return false;
    }
    const std::optional<std::uint64_t> own = OwnLimit(request);
    const std::optional<std::uint64_t> bound =
        own ? std::optional<std::uint64_t>(*own + g_exchangeMargin.load()) : std::nullopt;
    // One deadline for the request and its reply; the stop order ends either.
    const PipeWait wait{.deadline = bound ? PipeDeadline::In(*bound) : PipeDeadline::Never(),
                        .stopFlag = &G_STOP,
                        .ioEvent = event.Get()};
    const PipeResult sent = WritePipeMessage(pipe.Get(), text, wait);
    if (sent.end != PipeEnd::Done) {
        LogGivenUp(sent.end, bound);
        Logger::Error("[UserExtension::RunOperation]fail to write into pipe this content : " + shown);
        return false;
    }
    Logger::Internal("[UserExtension::RunOperation]waiting for sub-process's reply... ( bytes wrote : " +
                     std::to_string(text.size()) + " )");

    std::string received;
    const PipeResult read = ReadPipeMessage(pipe.Get(), received, wait);
    if (read.tooLarge) {
        Logger::Error("[UserExtension::RunOperation]reply refused : larger than " +
                      std::to_string(kMaxPipeMessageBytes) + " bytes.");
        if (oversized) *oversized = true;
        return false;
    }
    if (read.end != PipeEnd::Done) {
        if (read.end != PipeEnd::Failed) {
            LogGivenUp(read.end, bound);
        } else if (read.error == ERROR_BROKEN_PIPE) {
            Logger::Error("[UserExtension::RunOperation]client disconnected");
        } else {
            Logger::Error("[UserExtension::RunOperation]ReadFile failed");
        }
        return false;
    }
    if (received.empty()) {
        Logger::Internal("[UserExtension::RunOperation]No data.");
        return false;
    }
    Logger::Internal("[UserExtension::RunOperation] data received : " + ToolBox::MaskSecretsInRequestText(received));
    JSON::Builder builder;
    builder.ParseString(received);
    JSON::ValuePtr value = builder.Detach();
    if (!value) {
        Logger::Internal("[UserExtension::RunOperation] The operation does not return data !");
        return false;
    }
    Logger::Internal("[UserExtension::RunOperation] operation result content : " +
                     ToolBox::MaskSecretsInJson(*value));
    reply = std::move(value);
    return true;
}

bool UserExtension::Kill() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (!IsRunning()) return true;
    const std::string id = std::to_string(sessionId_);
    Logger::Internal("[UserExtension::Kill] Killing UserExtension[" + id + "]...");

    if (Config::IsActivated(ConfigOption::TEST_MODE)) {
        Logger::Internal("[UserExtension::Kill] Try to write stop signal to UserExtension[" + id + "]...");
        ZYNSysKernelHandle pipe;
        if (!openPipe(pipe)) {
            Logger::ErrorW(
                L"[UserExtension::Kill]Fail to open the output pipe created by the UserExtension's sub-process !");
            return false;
        }
        if (!WritePipeMessage(pipe.Get(), kStopMessage)) {
            Logger::Error(std::string("[UserExtension::Kill]fail to write into pipe this content : ") +
                                         kStopMessage);
            return false;
        }
        running_ = false;
        return true;
    }

    Logger::InternalW(L"[UserExtension::Kill] use postMessage to kill sub-process");
    const JSON::ValuePtr order = JSON::MakeObject({{"wnd", JSON::MakeString(kBackboneClass, true)},
                                                   {"label", JSON::MakeString(std::to_string(WM_STOP_UE), true)},
                                                   {"lparam", JSON::MakeString("0", true)},
                                                   {"wparam", JSON::MakeString("0", true)}});
    const std::string json = ToolBox::ReplaceAll(order ? order->Dump() : std::string(), "\"", "\\\"", true);
    Logger::Internal("[UserExtension::Kill] Json object to use : " + json);
    const std::vector<std::string> cmd{BaseExecutablePath(), "postStatus", ToolBox::Surround(json, "\"")};
    const std::string joined = ToolBox::Join(cmd, ", ");
    Logger::Internal("[UserExtension::Kill] commandline  : " + joined);
    std::int32_t code = 0;
    // In the extension's own session: the active one may hold another session's extension.
    // ExecuteCmd reads a session below 1 as the active one, so such an extension is only
    // ever ended through its job.
    const bool ownSession = sessionId_ >= 1 && sessionId_ <= static_cast<std::uint32_t>(INT32_MAX);
    const DWORD stopWait = g_stopWait.load();
    if (ownSession && Operations::Local::ExecuteCmd(cmd, code, true, static_cast<std::int32_t>(stopWait), false,
                                                    static_cast<std::int32_t>(sessionId_))) {
        const DWORD wait = ::WaitForSingleObject(process_.Process(), stopWait);
        if (wait == WAIT_TIMEOUT) {
            Logger::Error("[UserExtension::Stop]fail to stop userExtention[" + id +
                          "] sub-process join operation has timed out.");
        } else if (wait == WAIT_FAILED) {
            Logger::Error("[UserExtension::Stop]fail to stop userExtention[" + id +
                          "] sub-process join operation has failed.");
        } else {
            Logger::Internal("[UserExtension::Stop]Successfully Stopped UserExtension[" + id + "]");
            running_ = false;
            return true;
        }
    } else {
        Logger::Error("[UserExtension::Stop]Fail to launch process to stop User Extension with this command-line: " +
                      joined);
    }

    if (!process_.Job()) return false;
    BOOL inJob = FALSE;
    if (!::IsProcessInJob(process_.Process(), process_.Job(), &inJob)) {
        Logger::ErrorW(L"[UserExtension::Kill] IsProcessInJob Fail !");
        return false;
    }
    if (!inJob) return false;
    Logger::InternalW(L"[UserExtension::Kill] use TerminateJobObject to kill sub-process");
    if (!::TerminateJobObject(process_.Job(), 0)) {
        Logger::Error("[UserExtension::Stop]Fail to stop UserExtension[" + id + "]");
        return false;
    }
    Logger::Internal("[UserExtension::Stop]Successfully Stopped UserExtension[" + id + "]");
    running_ = false;
    return true;
}
