// The tray program for the tests, copied as VarometLauncherSysTray.exe:
//   fake_tray [--spinner] [--ignore-close]
// Makes a hidden window of class "QXLauncherTray" (with --spinner "QXLauncherSpinner") and
// appends every message posted to it as "message wParam lParam" (decimal) to
// tray-messages.txt (spinner-messages.txt) beside its own program. It ends on WM_CLOSE unless
// --ignore-close is given or a file "ignore-close" lies beside its program (the launcher
// starts the spinner with a command line of its own), and after a minute in any case.

#include "GuiMain.h"
#include "ZYNSysWin.h"

#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

constexpr UINT kLifetimeMs = 60000;

bool g_ignoreClose = false;

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.rfind(L'\\'));
}

// Opened for each line so that a test can read the file at any time.
void Record(const std::wstring& file, const MSG& message) {
    FILE* out = ::_wfopen(file.c_str(), L"ab");
    if (!out) return;
    std::fprintf(out, "%u %llu %lld\n", message.message, static_cast<unsigned long long>(message.wParam),
                 static_cast<long long>(message.lParam));
    std::fclose(out);
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE && g_ignoreClose) return 0;
    if (message == WM_DESTROY) ::PostQuitMessage(0);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

int Main(int argc, wchar_t** argv) {
    bool spinner = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--spinner") spinner = true;
        if (arg == L"--ignore-close") g_ignoreClose = true;
    }
    const std::wstring folder = ProgramFolder();
    if (::GetFileAttributesW((folder + L"\\ignore-close").c_str()) != INVALID_FILE_ATTRIBUTES) g_ignoreClose = true;
    const wchar_t* className = spinner ? L"QXLauncherSpinner" : L"QXLauncherTray";
    const std::wstring file = folder + (spinner ? L"\\spinner-messages.txt" : L"\\tray-messages.txt");

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &Procedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    if (!::RegisterClassW(&windowClass)) return 3;
    HWND window = ::CreateWindowW(className, L"VarometLauncherSysTray", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!window) return 4;
    // A thread timer: it reaches the loop without a window, so it is never recorded.
    const UINT_PTR lifetime = ::SetTimer(nullptr, 0, kLifetimeMs, nullptr);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == WM_TIMER && message.wParam == lifetime) return 5;
        if (message.hwnd == window) Record(file, message);
        ::DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace

int GuiMain(int argc, wchar_t** argv) { return Main(argc, argv); }
