// The request server: the pipe's instances, one thread per client that reads one request
// and writes its reply within a deadline, and the stop that wakes the server.

#include <mutex>
#include <string>

#include "Backbone.h"
#include "Globals.h"
#include "Json.h"
#include "Logger.h"
#include "PipeConnection.h"
#include "ReturnCodes.h"
#include "ServiceNotice.h"
#include "ToolBox.h"
#include "ZYNSysKernelHandle.h"

std::atomic<bool> Backbone::running_{false};
std::atomic<int> Backbone::activeClients_{0};
std::atomic<int> Backbone::stopsInProgress_{0};

namespace {

constexpr const char* kPipeSddl = RequestPipeSddl();
// A busy pipe has no instance waiting for a client, so no pass of the server is blocked in a
// connection (and the server waits for the stop event as well): the wake-up does not wait for
// an instance, which would hold the stopping thread 5 s whenever a client is connected.
constexpr int kWakeUpBusyRetries = 0;

std::atomic<bool> g_clientFailure{false};
std::atomic<int> g_clientFailureCode{0};

// The stop event lives from process start to exit and is never reset.
HANDLE StopEvent() {
    static ZYNSysKernelHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return event.Get();
}
[[maybe_unused]] const HANDLE g_stopEventAtStart = StopEvent();

std::mutex g_pipeNameMutex;
std::wstring g_pipeName;

std::wstring PipeName() {
    std::lock_guard<std::mutex> lock(g_pipeNameMutex);
    return g_pipeName;
}

void ClientFailed(int code) {
    if (code != 0) g_clientFailureCode.store(code);  // stored before the flag is raised
    g_clientFailure.store(true);
}

// How long reading a whole request, and replying, may take (tests shorten it).
std::atomic<DWORD> g_exchangeMilliseconds{kPipeExchangeMilliseconds};

// One side of an exchange on the client's pipe, ended by its deadline.
PipeWait ExchangeWait(HANDLE ioEvent) {
    return PipeWait{.deadline = PipeDeadline::In(g_exchangeMilliseconds.load()), .ioEvent = ioEvent};
}

void LogDropped(const char* what) {
    Logger::Warn(std::string("[Backbone::threadFunc]") + what + " within " +
                 std::to_string(g_exchangeMilliseconds.load()) + " ms : client dropped.");
}

// Writes the reply as one message and waits until the client is done with it, both within
// one deadline.
void Reply(HANDLE pipe, HANDLE ioEvent, int rc, JSON::ValuePtr content) {
    if (!content) {
        Logger::Debug("[Backbone::threadFunc] no result.");
        content = JSON::MakeNull();
    } else {
        Logger::Debug("[Backbone::threadFunc] JSON returned : " + ToolBox::MaskSecretsInText(content->Dump()));
    }
    const JSON::ValuePtr reply = JSON::MakeObject(
        {{"rc", JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(rc))}, {"content", std::move(content)}});
    const std::string text = reply ? reply->Dump() : std::string();
    Logger::Debug("[Backbone::threadFunc] final reply content : " + ToolBox::MaskSecretsInText(text));

    const PipeWait wait = ExchangeWait(ioEvent);
    const PipeResult sent = WritePipeMessage(pipe, text, wait);
    if (sent.end == PipeEnd::TimedOut) {
        LogDropped("reply not taken");
        return;
    }
    if (sent.end != PipeEnd::Done) {
        ::SetLastError(sent.error);
        Logger::ErrorWithSystemError("[Backbone::threadFunc] fail to reply with this content : " +
                                     ToolBox::MaskSecretsInText(text));
        ClientFailed(kExitClientReplyFailed);
        return;
    }
    // Bounded, unlike FlushFileBuffers: the client closes its end once it has read the reply,
    // ending this read. More requests on the connection are read and dropped.
    std::string ignored;
    PipeResult released;
    do {
        released = ReadPipeMessage(pipe, ignored, wait, PipeOverflow::Drain, 0);
    } while (released.end == PipeEnd::Done);
    // A client that read its reply and keeps its end open cannot be told from one that never read.
    if (released.end == PipeEnd::TimedOut) LogDropped("pipe not released after the reply");
}

// Takes one off the count when it goes out of scope.
struct Departure {
    explicit Departure(std::atomic<int>& count) : count_(count) {}
    ~Departure() { count_.fetch_sub(1); }
    std::atomic<int>& count_;
};

DWORD WINAPI ClientThread(void* pipe) {
    Backbone::threadFunc(static_cast<HANDLE>(pipe));
    return 0;
}

}  // namespace

void Backbone::MarkRunning() {
    running_.store(true);
}

void Backbone::SetExchangeDeadline(DWORD milliseconds) {
    g_exchangeMilliseconds.store(milliseconds);
}

bool Backbone::WaitForClients(DWORD milliseconds) {
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    while (activeClients_.load() > 0 || stopsInProgress_.load() > 0) {
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(20);
    }
    return true;
}

void Backbone::Run(wchar_t** argv, int argc, int* returnCode, HWND window) {
    // Every exit, an exception's included, ends the server the same way.
    struct EndOfServer {
        HWND window;
        ~EndOfServer() {
            running_.store(false);
            if (window) ::PostMessageW(window, WM_QUIT, 0, 0);
        }
    } end{window};
    try {
        Logger::Debug("[Backbone::Run] main function starting, argument : " +
                      ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(ToolBox::JoinWideArgs(argv, argc, L","))));
        if (argc != 3) {
            Logger::Error("[Backbone::Run] Invalid Run Command-line ! [arg count : " + std::to_string(argc) + " )");
            *returnCode = kExitBadCommandLine;
            return;
        }
        running_.store(true);
        {
            std::lock_guard<std::mutex> lock(g_pipeNameMutex);
            g_pipeName = argv[2];
        }
        const std::wstring name = PipeName();
        ScopedSecurityAttributes security;
        ToolBox::MakeSecurityAttributes(security, kPipeSddl);
        Logger::DebugW(L"[Backbone::Run] starting main loop...");

        bool firstInstance = true;
        while (running_.load()) {
            if (g_clientFailure.load()) {
                Logger::ErrorW(L"[Backbone::Run]thread failure detected ! aborting ...");
                *returnCode = g_clientFailureCode.load();
                return;
            }
            // The first instance claims the name: a name another process already serves is refused.
            DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
            ZYNSysKernelHandle pipe(::CreateNamedPipeW(name.c_str(), openMode, ServerPipeMode(),
                                                       PIPE_UNLIMITED_INSTANCES, 8192, 8192, 5000,
                                                       &security.attributes));
            if (!pipe) {
                if (!firstInstance && ::GetLastError() == ERROR_PIPE_BUSY) {
                    // Every instance is taken by a client: wait for one to be released.
                    if (::WaitForSingleObject(StopEvent(), 50) == WAIT_OBJECT_0) G_STOP.store(true);
                    if (G_STOP.load()) break;
                    continue;
                }
                Logger::ErrorWithSystemErrorW(L"[Backbone::Run]Failed to create namedpipe pipe instance.");
                *returnCode = kExitNoPipeInstance;
                return;
            }
            firstInstance = false;

            Logger::DebugW(L"[Backbone::Run]Waiting for a client to connect to the pipe...");
            bool connected = false;
            {
                ZYNSysKernelHandle connectEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
                OVERLAPPED overlapped{};
                overlapped.hEvent = connectEvent.Get();
                if (::ConnectNamedPipe(pipe.Get(), &overlapped)) {
                    connected = true;
                } else {
                    DWORD error = ::GetLastError();
                    if (error == ERROR_PIPE_CONNECTED) {
                        Logger::Debug("[Backbone::Run]client connected !");
                        connected = true;
                    } else if (error == ERROR_IO_PENDING) {
                        Logger::DebugW(L"[Backbone::Run]io operation pending in the pipe. try to wait for it's end");
                        HANDLE events[] = {connectEvent.Get(), StopEvent()};
                        DWORD which = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
                        if (which == WAIT_OBJECT_0) {
                            Logger::Debug("[Backbone::Run]client connected !");
                            DWORD ignored = 0;
                            connected = ::GetOverlappedResult(pipe.Get(), &overlapped, &ignored, FALSE) != FALSE;
                        } else if (which == WAIT_OBJECT_0 + 1) {
                            Logger::DebugW(L"[Backbone::Run]Stop event triggered ! aborting ...");
                            G_STOP.store(true);
                        } else {
                            Logger::Error("[Backbone::Run]Invalide index triggered : [" + std::to_string(which) + "]!");
                        }
                        if (!connected) {
                            // The overlapped structure must outlive the pending connect.
                            ::CancelIo(pipe.Get());
                            DWORD ignored = 0;
                            ::GetOverlappedResult(pipe.Get(), &overlapped, &ignored, TRUE);
                        }
                    }
                }
            }
            if (G_STOP.load()) {
                Logger::DebugW(L"[Backbone::Run]G_STOP set ! aborting ...");
                break;
            }
            if (!connected) {
                Logger::ErrorW(L"[Backbone::Run]Failed to make connection on named pipe.");
                continue;
            }
            activeClients_.fetch_add(1);
            DWORD threadId = 0;
            ZYNSysKernelHandle thread(::CreateThread(nullptr, 0, &ClientThread, pipe.Get(), 0, &threadId));
            if (!thread) {
                activeClients_.fetch_sub(1);
                Logger::ErrorWithSystemError("[Backbone::Run]Fail to start a client thread.");
                continue;  // the instance closes with its owner
            }
            static_cast<void>(pipe.Take());  // the client thread owns the instance now
            Logger::Debug("[Backbone::Run]Delegated pipe to thread : " + std::to_string(threadId));
        }
        Logger::DebugW(L"[Backbone::Run] main function ended !");
        *returnCode = kExitStopped;
    } catch (...) {
        LogCurrentException(std::current_exception(), "[Backbone::Run]Exception thrown : ");
    }
}

void Backbone::threadFunc(HANDLE rawPipe) {
    Departure leaving(activeClients_);
    ZYNSysKernelHandle pipe(rawPipe);  // closed on every path
    try {
        Logger::Debug("[Backbone::threadFunc] try read data...");
        if (rawPipe == INVALID_HANDLE_VALUE || rawPipe == nullptr) {
            Logger::Debug("[Backbone::threadFunc] Invalud pipe handle given");
            return;
        }
        ZYNSysKernelHandle ioEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!ioEvent) {
            Logger::ErrorWithSystemError("[Backbone::threadFunc]Fail to create an event for the pipe");
            return;  // the instance closes with its owner
        }
        std::string message;
        // Past the bound the rest of the request is read and dropped: on a message pipe the
        // client's write ends, and its read of the reply begins, only once all of it is read.
        const PipeResult read = ReadPipeMessage(pipe.Get(), message, ExchangeWait(ioEvent.Get()), PipeOverflow::Drain);
        const bool tooLarge = read.tooLarge;
        const bool late = read.end == PipeEnd::TimedOut;
        if (tooLarge) {
            Logger::Error("[Backbone::threadFunc]request refused : larger than " +
                          std::to_string(kMaxPipeMessageBytes) + " bytes.");
        }
        if (read.end == PipeEnd::Failed) {
            if (read.error == ERROR_BROKEN_PIPE) {
                Logger::Error("[Backbone::threadFunc]client disconnected. ( err:" + std::to_string(read.error) + " )");
            } else {
                Logger::Error("[Backbone::threadFunc]ReadFile failed. ( err:" + std::to_string(read.error) + " )");
            }
            ClientFailed(kExitClientReadFailed);
        }

        if (late) {
            // A client that is too slow is let go; it takes nothing from the others.
            LogDropped("no whole request");
        } else if (message.empty() && !tooLarge) {
            Logger::Debug("[Backbone::threadFunc]No data.");
            // An empty message is a client failure, not an orderly stop.
            ClientFailed(kExitClientReadFailed);
        } else {
            Logger::Debug("[Backbone::threadFunc] !!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!! BEG PROCESSING MESSAGE "
                          "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
            if (!tooLarge) {
                Logger::Debug("[Backbone::threadFunc] msg content : " + ToolBox::MaskSecretsInRequestText(message));
            }
            if (!tooLarge && message == "STOP") {
                Backbone::Stop(false);
                Logger::Warn("[Backbone::threadFunc] STOP recieved > stop all !");
            } else {
                JSON::ValuePtr content;
                // Refused unparsed, with the code of a text that is no JSON document.
                const int rc = tooLarge ? kRcNoJsonDocument : Backbone::Process(message, content);
                std::string().swap(message);
                Reply(pipe.Get(), ioEvent.Get(), rc, std::move(content));
            }
            Logger::Debug("[Backbone::threadFunc]------------------------------------- END PROCESSING MESSAGE "
                          "------------------------------------");
        }

        const std::string handle = ToolBox::PointerToString(pipe.Get());
        Logger::Internal("[Backbone::threadFunc]Disconnecting pipe[" + handle + "]");
        if (!::DisconnectNamedPipe(pipe.Get())) {
            Logger::ErrorWithSystemError("[Backbone::threadFunc] fail to disconnect pipe : " + handle);
        }
        Logger::Internal("[Backbone::threadFunc]Closing pipe[" + handle + "]");
        if (!::CloseHandle(pipe.Take())) {
            Logger::ErrorWithSystemError("[Backbone::threadFunc] fail to close pipe : " + handle);
        }
    } catch (...) {
        LogCurrentException(std::current_exception(), "[Backbone::threadFunc]Exception thrown : ");
    }
}

bool Backbone::Stop(bool notifyService) {
    // Counted until the notice is written: a stop from the watchdog's thread ends the server
    // at once, and the process must not end before the service has been told.
    stopsInProgress_.fetch_add(1);
    Departure done(stopsInProgress_);
    // Signalled before anything that can throw: a caller stopping after an exception relies on it.
    ::SetEvent(StopEvent());
    running_.store(false);
    G_STOP.store(true);
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    Logger::Debug("[Backbone::Stop]Stopping current session [" + std::to_string(session) + "] userExtension ...");

    // Opening our own pipe completes a pass of a server waiting for a client.
    const std::wstring name = PipeName();
    // The name comes from the command line.
    const std::string shownName = ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(name));
    Logger::Debug("[Backbone::Stop]Retrieveing Local pipe[" + shownName + "] handle ...");
    ZYNSysKernelHandle pipe;
    switch (OpenPipeForWriting(name, kWakeUpBusyRetries, pipe)) {
        case PipeOpenResult::Opened:
            Logger::Debug("[Backbone::Stop] Local pipe[" + shownName + "] handle found : " +
                          ToolBox::PointerToString(pipe.Get()));
            pipe.Reset();
            break;
        case PipeOpenResult::TimedOut:
            // The log's words are kept, though nothing waited.
            Logger::WarnW(L"[Backbone::Stop]Could not open pipe: 5 second wait timed out.");
            break;
        case PipeOpenResult::Failed:
            Logger::Error("[Backbone::Stop]Could not open Local pipe[" + shownName + "]");
            break;
    }

    if (notifyService && !ServiceNotice::SendClosing(session)) return false;
    return true;
}
