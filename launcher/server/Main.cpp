// The launcher's process entry: run mode serves the request pipe behind a hidden window;
// any other first argument is one request answered from the command line.

#include "ZYNSysWin.h"

#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "Backbone.h"
#include "Config.h"
#include "CrashReport.h"
#include "FileAndFoldersManager.h"
#include "FolderMaker.h"
#include "Json.h"
#include "LaunchDaemon.h"
#include "Logger.h"
#include "OperationsLocal.h"
#include "ReturnCodes.h"
#include "Sleeper.h"
#include "ToolBox.h"
#include "Watchdog.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysLocalMemory.h"

namespace {

// Client threads still answering when the server ends get this long to finish.
constexpr DWORD kClientGrace = 10000;

// Set by the window procedure when it caught an exception: the process then ends with the exception code.
bool g_windowFailed = false;

// After an exception: the server is told to stop without telling the service (this is no end
// of the session), and nothing leaves, so the server's thread can be joined.
void StopAfterFailure() noexcept {
    try {
        Backbone::Stop(false);
    } catch (...) {
        // The stop event is signalled before Stop can throw.
    }
}

LRESULT StopAndDestroy(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Logger::DebugW(L"[WindowProc]WM_DESTROY recieved ! ");
    Backbone::Stop(true);
    ::PostQuitMessage(0);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CLOSE:
            Logger::DebugW(L"[WindowProc]WM_CLOSE recieved ! ");
            return Backbone::Stop(true);
        case WM_QUERYENDSESSION:
            Logger::DebugW(L"[WindowProc]WM_QUERYENDSESSION recieved ! ");
            Backbone::Stop(true);
            return TRUE;  // never veto the end of the session
        case WM_QUIT:
            Logger::DebugW(L"[WindowProc]WM_QUIT recieved ! ");
            return Backbone::Stop(true);
        case WM_DESTROY:
            return StopAndDestroy(window, message, wParam, lParam);
        case WM_ENDSESSION:
            Logger::DebugW(L"[WindowProc]WM_ENDSESSION recieved ! ");
            if (!wParam) return ::DefWindowProcW(window, message, wParam, lParam);
            return StopAndDestroy(window, message, wParam, lParam);
        case WM_STOP_UE:
            Logger::DebugW(L"[WindowProc]WM_STOP_UE recieved ! ");
            return Backbone::Stop(false);
        default:
            Logger::Internal("[WindowProc]Message recieved : " + std::to_string(message));
            return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

// No exception unwinds through the system's frames: it stops the server, and the message
// loop ends once the server has.
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return HandleMessage(window, message, wParam, lParam);
    } catch (...) {
        LogCurrentException(std::current_exception(), "[WindowProc]Exception thrown : ");
        g_windowFailed = true;
        StopAfterFailure();
        return message == WM_QUERYENDSESSION ? TRUE : 0;  // never veto the end of the session
    }
}

void RunMessageLoop() {
    Logger::Debug("[wWinMain] Beginning message loop");
    MSG message;
    for (;;) {
        BOOL result = ::GetMessageW(&message, nullptr, 0, 0);
        if (result == 0) {
            // A quit while the server still serves is not the end.
            if (!Backbone::IsRunning()) break;
            continue;
        }
        Logger::Internal("[wWinMain]message received ! (rc = " + std::to_string(result) + ")");
        if (result != -1) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
    }
    Logger::Debug("[wWinMain]message loop ended");
    Logger::Debug("[wWinMain]waiting for the Backbone's thread ...");
}

int RunMode(HINSTANCE instance, wchar_t** argv, int argc) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(101));
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(::GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = Backbone::kWindowClass;
    if (!::RegisterClassW(&windowClass)) {
        Logger::ErrorWithSystemError("[wWinMain]Fail to regirster window's class !");
        return kExitNoWindowClass;
    }
    Logger::Debug("[wWinMain]Class successfully registred !");
    HWND window = ::CreateWindowW(Backbone::kWindowClass, Backbone::kWindowClass, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (!window) {
        Logger::Error("[wWinMain] Fail to create shadow window ! ");
        return kExitNoWindow;
    }

    int returnCode = kExitStopped;
    // Running before the loop can see a WM_QUIT: one that came before the server's thread set
    // the flag would end the loop and leave this thread waiting for a server nobody stops.
    Backbone::MarkRunning();
    std::thread server(&Backbone::Run, argv, argc, &returnCode, window);
    bool loopFailed = false;
    try {
        RunMessageLoop();
    } catch (...) {
        // The server's thread must be joined before it is destroyed, whatever happened here.
        LogCurrentException(std::current_exception(), "[wWinMain]Exception thrown : ");
        loopFailed = true;
        StopAfterFailure();
    }
    server.join();
    // An exception that was caught on the way ends the process as one that escaped run mode.
    if (loopFailed || g_windowFailed) returnCode = kExitException;
    Logger::Debug("[wWinMain]Backbone's thread ended !");
    if (!Backbone::WaitForClients(kClientGrace)) {
        Logger::Warn("[wWinMain]" + std::to_string(Backbone::ActiveClients()) + " client(s) still answering at exit");
        // Returning would destroy the process-wide state under the threads still using it.
        Logger::Flush();
        std::_Exit(returnCode);
    }
    return returnCode;
}

int Start(HINSTANCE instance) {
    // Every folder the base makes from here on goes through the launcher's own operation.
    // Never destroyed: client threads still answering may outlive the program's end.
    static auto* const folderMaker = new Operations::LocalOperationsFolderMaker;
    SetFolderMaker(folderMaker);
    std::string pause;
    if (ToolBox::GetEnv("ZYNLD_DEBUG", pause)) {
        int milliseconds = std::stoi(pause, nullptr, 10);
        Logger::DeferredInternal("[MAIN]sleeping " + pause + " ms");
        // A negative pause is no pause.
        if (milliseconds > 0) GetSleeper().Sleep(static_cast<std::uint32_t>(milliseconds));
    }

    int argc = 0;
    const ZYNSysLocalPointer<wchar_t**> args(::CommandLineToArgvW(::GetCommandLineW(), &argc));
    if (!args || argc < 1) return kExitBadCommandLine;
    wchar_t** argv = args.Get();

    wchar_t userBuffer[257] = {};
    DWORD userLength = 257;
    std::string user = ::GetUserNameW(userBuffer, &userLength) ? ToolBox::WideCStrToUtf8(userBuffer) : std::string();
    const std::string first = argc > 1 ? ToolBox::WideCStrToUtf8(argv[1]) : std::string();
    const std::string loggerName = "VarometLauncher_backbone\\" + first + "\\" + user;
    std::string tmp;
    const std::uint32_t context = ToolBox::GetEnv("WEX_TRQ_TMP", tmp) ? 3 : 1;

    if (!LaunchDaemon::MetaInit(context, loggerName, "VarometLauncher_backbone", "")) {
        Logger::Warn("[wWinMain]Fail to init MetaObject !");
    }
    if (Config::IsActivated(ConfigOption::TEST_MODE)) {
        ZYNSysKernelHandle watchdog(::CreateThread(nullptr, 0, &EnrageTimer, nullptr, 0, nullptr));
    }
    if (Config::IsActivated(ConfigOption::QORSYS_HTTP_LOGGING)) {
        std::string traceFolder;
        if (FileAndFoldersManager::GetFolderPath(FolderId::INTERNAL_DATA, traceFolder, true, nullptr)) {
            ToolBox::SetEnv("QORTraceDir", traceFolder);
        }
        ToolBox::SetEnv("ZYNSysTrace", "-k Prf Http HTTP -flog_" + user + ".txt");
    }
    // In one-shot mode the command line is a request: masked like one.
    Logger::Debug("[wWinMain]Command line : " +
                  ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(ToolBox::JoinWideArgs(argv, argc, L","))));

    if (argc > 1 && std::wstring(argv[1]) == L"run") return RunMode(instance, argv, argc);
    JSON::ValuePtr content;
    return Backbone::Process(argv, argc, content);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    ::SetUnhandledExceptionFilter(&MainExceptionFilter);
    int code = kExitException;
    try {
        code = Start(instance);
    } catch (...) {
        LogCurrentException(std::current_exception(), "[wWinMain]Exception thrown : ");
    }
    // Lines still queued reach the file before the process ends.
    Logger::Flush();
    return code;
}
