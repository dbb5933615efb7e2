#include "UserExtension.h"

#include "ZYNSysWin.h"

#include <userenv.h>
#include <wtsapi32.h>

#include <algorithm>
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
#include "Sleeper.h"
#include "ToolBox.h"
#include "ZYNSysEnvironmentBlock.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr std::int32_t kTestModeOption = 65;
constexpr std::int32_t kIgnoreTokenErrorOption = 59;

constexpr DWORD kCreationFlags = CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD kJobLimits = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK |
                             JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
static_assert(kCreationFlags == 0x09000400 && kJobLimits == 0x3808);

constexpr int kPipeTries = 3;
constexpr DWORD kPipeWaitMs = 1000;
constexpr std::uint32_t kAfterFailedWaitMs = 1000;
constexpr std::uint32_t kAfterFailedOpenMs = 5000;
constexpr DWORD kReadPiece = 4096;
constexpr DWORD kStopWaitMs = 5000;
constexpr char kStopMessage[] = "STOP";
constexpr char kBackboneClass[] = "VarometLauncher Backbone";
constexpr DWORD kStopPollMs = 100;
constexpr char kRunOperation[] = "[UserExtension::RunOperation]";

std::atomic<std::uint32_t> g_exchangeMargin{kPipeExchangeMilliseconds};

std::mutex g_basePathLock;
std::string g_basePath;

// Computed once; later constructions keep the first answer.
void ComputeBasePath() {
    std::lock_guard<std::mutex> guard(g_basePathLock);
    if (!g_basePath.empty()) return;
    std::string path;
    if (Config::IsActivated(kTestModeOption) && ToolBox::GetEnv("TRQ_LAUNCHER_GUIEXE_PATH", path)) {
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

// The end of one exchange: a number of milliseconds after its start, or none.
class ExchangeDeadline {
public:
    explicit ExchangeDeadline(std::optional<std::uint64_t> milliseconds)
        : unlimited_(!milliseconds), end_(::GetTickCount64() + milliseconds.value_or(0)) {}
    // The time left, up to most; 0 once passed.
    DWORD Left(DWORD most) const {
        if (unlimited_) return most;
        const ULONGLONG now = ::GetTickCount64();
        return now >= end_ ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(end_ - now, most));
    }
    bool Passed() const { return !unlimited_ && ::GetTickCount64() >= end_; }

private:
    bool unlimited_;
    ULONGLONG end_;
};

enum class GivenUp { No, Deadline, Stop };

// Waits for an overlapped read or write on the extension's pipe until it ends, the deadline
// passes or the stop order comes. One given up is cancelled and waited for, since its
// OVERLAPPED lives in the caller's frame. Answers the operation's error (0 when done).
DWORD FinishIo(HANDLE pipe, BOOL started, OVERLAPPED& overlapped, const ExchangeDeadline& deadline,
               DWORD& transferred, GivenUp& givenUp) {
    transferred = 0;
    givenUp = GivenUp::No;
    if (!started) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) return error;
    }
    for (;;) {
        const DWORD wait = ::WaitForSingleObject(overlapped.hEvent, deadline.Left(kStopPollMs));
        if (wait == WAIT_OBJECT_0) break;
        DWORD error = ERROR_OPERATION_ABORTED;
        if (wait != WAIT_TIMEOUT) {
            error = ::GetLastError();
        } else if (G_STOP.load()) {
            givenUp = GivenUp::Stop;
        } else if (deadline.Passed()) {
            givenUp = GivenUp::Deadline;
        } else {
            continue;
        }
        ::CancelIoEx(pipe, &overlapped);
        ::GetOverlappedResult(pipe, &overlapped, &transferred, TRUE);
        transferred = 0;
        return error != ERROR_SUCCESS ? error : ERROR_OPERATION_ABORTED;
    }
    if (::GetOverlappedResult(pipe, &overlapped, &transferred, FALSE)) return ERROR_SUCCESS;
    return ::GetLastError();
}

void LogGivenUp(GivenUp givenUp, std::optional<std::uint64_t> bound) {
    if (givenUp == GivenUp::Stop) {
        Logger::Error(std::string(kRunOperation) + "GLOBAL STOP ORDER ! exchange with the sub-process given up.");
    } else if (givenUp == GivenUp::Deadline) {
        Logger::Error(std::string(kRunOperation) + "exchange with the sub-process given up after " +
                      std::to_string(bound.value_or(0)) + " ms.");
    }
}

}  // namespace

void UserExtension::SetExchangeMargin(std::uint32_t milliseconds) { g_exchangeMargin.store(milliseconds); }

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
    return processId_;
}

void UserExtension::CloseHandles() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    thread_.Reset();
    process_.Reset();
    job_.Reset();
    processId_ = 0;
    threadId_ = 0;
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
    if (!::GetExitCodeProcess(process_.Get(), &code)) {
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
    std::wstring wideLine = ToolBox::Utf8ToWide(commandLine);

    HANDLE rawToken = nullptr;
    ZYNSysKernelHandle token;
    if (::WTSQueryUserToken(sessionId_, &rawToken)) {
        token.Reset(rawToken);
    } else {
        Logger::Error("[UserExtension::Start]Fail to retrieve user's token !");
        if (!Config::IsActivated(kIgnoreTokenErrorOption)) {
            pipeName_.clear();
            return false;
        }
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Suspended until it is in its job, so that no extension ever runs outside one.
    constexpr DWORD kFlags = kCreationFlags | CREATE_SUSPENDED;
    BOOL created = FALSE;
    if (!token) {
        if (Config::IsActivated(kTestModeOption)) {
            created = ::CreateProcessW(nullptr, wideLine.data(), nullptr, nullptr, TRUE, kFlags, nullptr, nullptr,
                                       &startup, &info);
        }
    } else {
        void* block = nullptr;
        if (!::CreateEnvironmentBlock(&block, token.Get(), TRUE)) {
            Logger::ErrorW(L"[UserExtension::Start] Fail to create Environment objects!");
            pipeName_.clear();
            return false;
        }
        ZYNSysEnvironmentBlock environment(block);
        Logger::Internal("[UserExtension::Start] Start process with command-line : " + commandLine);
        created = ::CreateProcessAsUserW(token.Get(), nullptr, wideLine.data(), nullptr, nullptr, TRUE, kFlags,
                                         environment.Get(), nullptr, &startup, &info);
        token.Reset();
        if (!::DestroyEnvironmentBlock(environment.Take())) {
            Logger::ErrorW(L"[UserExtension::Start] Fail to delete Environment objects!");
        }
    }
    if (!created) {
        Logger::ErrorW(L"[UserExtension::Start] CreateProcessAsUserW failed !");
        CloseHandles();
        return false;
    }
    process_.Reset(info.hProcess);
    thread_.Reset(info.hThread);
    processId_ = info.dwProcessId;
    threadId_ = info.dwThreadId;

    // A process that cannot be put in its job is ended before it ever ran: left alone it
    // would outlive the launcher, and every retry would add one more. The guard covers every
    // way out until the process is in its job, an exception included.
    struct EndUnlessInJob {
        UserExtension* self;
        bool inJob = false;
        ~EndUnlessInJob() {
            if (inJob) return;
            ::TerminateProcess(self->process_.Get(), 1);
            self->CloseHandles();
        }
    } pending{this};
    Logger::InternalW(L"[UserExtension::Start] CreateProcessAsUserW successed !");
    ZYNSysKernelHandle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = kJobLimits;
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
    if (!job || !::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        Logger::Error("[UserExtension::Start]Fail to set info on the JobObject for UserExtension[" + id + "]");
        return false;
    }
    if (!::AssignProcessToJobObject(job.Get(), process_.Get())) {
        Logger::Error(
            "[UserExtension::Start]Fail to assign the current Process to the JobObject for UserExtension[" + id + "]");
        return false;
    }
    job_ = std::move(job);
    pending.inJob = true;
    if (::ResumeThread(thread_.Get()) == static_cast<DWORD>(-1)) {
        Logger::ErrorWithSystemError("[UserExtension::Start]Fail to resume the process of UserExtension[" + id + "]");
        ::TerminateJobObject(job_.Get(), 1);
        CloseHandles();
        return false;
    }

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
        expectedServer = processId_;
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
                                   UserPipeOpenFlags(), nullptr));
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
    const ExchangeDeadline deadline(bound);
    GivenUp givenUp = GivenUp::No;

    OVERLAPPED writing{};
    writing.hEvent = event.Get();
    DWORD written = 0;
    const BOOL writeStarted = ::WriteFile(pipe.Get(), text.data(), static_cast<DWORD>(text.size()), nullptr, &writing);
    if (FinishIo(pipe.Get(), writeStarted, writing, deadline, written, givenUp) != ERROR_SUCCESS ||
        written != text.size()) {
        LogGivenUp(givenUp, bound);
        Logger::Error("[UserExtension::RunOperation]fail to write into pipe this content : " + shown);
        return false;
    }
    Logger::Internal("[UserExtension::RunOperation]waiting for sub-process's reply... ( bytes wrote : " +
                     std::to_string(written) + " )");

    std::string received;
    std::vector<char> piece(kReadPiece);
    for (;;) {
        std::fill(piece.begin(), piece.end(), '\0');
        OVERLAPPED reading{};
        reading.hEvent = event.Get();
        DWORD got = 0;
        const BOOL readStarted = ::ReadFile(pipe.Get(), piece.data(), kReadPiece, nullptr, &reading);
        const DWORD error = FinishIo(pipe.Get(), readStarted, reading, deadline, got, givenUp);
        if (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
            received.append(piece.data(), got);
            if (received.size() > kMaxPipeMessageBytes) {
                Logger::Error("[UserExtension::RunOperation]reply refused : larger than " +
                              std::to_string(kMaxPipeMessageBytes) + " bytes.");
                if (oversized) *oversized = true;
                return false;
            }
            if (error == ERROR_SUCCESS) break;
            continue;
        }
        if (givenUp != GivenUp::No) {
            LogGivenUp(givenUp, bound);
        } else if (error == ERROR_BROKEN_PIPE) {
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

    if (Config::IsActivated(kTestModeOption)) {
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
    JSON::Builder order;
    order.StartObject();
    order.AddMember("wnd", JSON::MakeString(kBackboneClass, true));
    order.AddMember("label", JSON::MakeString(std::to_string(WM_STOP_UE), true));
    order.AddMember("lparam", JSON::MakeString("0", true));
    order.AddMember("wparam", JSON::MakeString("0", true));
    const std::string json = ToolBox::ReplaceAll(order.Dump(), "\"", "\\\"", true);
    Logger::Internal("[UserExtension::Kill] Json object to use : " + json);
    const std::vector<std::string> cmd{BaseExecutablePath(), "postStatus", ToolBox::Surround(json, "\"")};
    const std::string joined = ToolBox::Join(cmd, ", ");
    Logger::Internal("[UserExtension::Kill] commandline  : " + joined);
    std::int32_t code = 0;
    // In the extension's own session: the active one may hold another session's extension.
    // ExecuteCmd reads a session below 1 as the active one, so such an extension is only
    // ever ended through its job.
    const bool ownSession = sessionId_ >= 1 && sessionId_ <= static_cast<std::uint32_t>(INT32_MAX);
    if (ownSession && Operations::Local::ExecuteCmd(cmd, code, true, static_cast<std::int32_t>(kStopWaitMs), false,
                                                    static_cast<std::int32_t>(sessionId_))) {
        const DWORD wait = ::WaitForSingleObject(process_.Get(), kStopWaitMs);
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

    if (!job_) return false;
    BOOL inJob = FALSE;
    if (!::IsProcessInJob(process_.Get(), job_.Get(), &inJob)) {
        Logger::ErrorW(L"[UserExtension::Kill] IsProcessInJob Fail !");
        return false;
    }
    if (!inJob) return false;
    Logger::InternalW(L"[UserExtension::Kill] use TerminateJobObject to kill sub-process");
    if (!::TerminateJobObject(job_.Get(), 0)) {
        Logger::Error("[UserExtension::Stop]Fail to stop UserExtension[" + id + "]");
        return false;
    }
    Logger::Internal("[UserExtension::Stop]Successfully Stopped UserExtension[" + id + "]");
    running_ = false;
    return true;
}
