#include "ConfirmationPopup.h"

#include "Config.h"
#include "Logger.h"
#include "ToolBox.h"
#include "ZYNSysWindowHook.h"

namespace {

// Two popups on two client threads each keep their own hook.
thread_local ZYNSysWindowHook t_popupHook;
// Set by the hook when it closed a box it could not relabel.
thread_local bool t_closedUnlabelled = false;

constexpr int kIconResource = 101;

class SystemHookInstaller final : public PopupHookInstaller {
public:
    HHOOK Install(HOOKPROC procedure) override {
        return ::SetWindowsHookExW(WH_CBT, procedure, nullptr, ::GetCurrentThreadId());
    }
};

SystemHookInstaller g_systemInstaller;
constinit Seam<PopupHookInstaller> g_installer{g_systemInstaller};

bool IsHiddenControl(wchar_t c) {
    if (c == L'\n' || c == L'\t') return false;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Both captions or none counts: a box whose "No" kept its caption would answer "Always" to it.
bool Relabel(HWND box) {
    HWND yes = ::GetDlgItem(box, IDYES);
    HWND no = ::GetDlgItem(box, IDNO);
    return yes && no && ::SetWindowTextW(yes, L"Only this time") && ::SetWindowTextW(no, L"Always");
}

// Shared: the system keeps it for the life of the module.
HICON SmallIcon() {
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                           ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                           LR_SHARED));
}

bool TestMode() {
    try {
        return Config::IsActivated(ConfigOption::TEST_MODE);
    } catch (...) {
        return false;
    }
}

}  // namespace

PopupHookInstaller* SetPopupHookInstaller(PopupHookInstaller* installer) { return g_installer.Set(installer); }

std::wstring PopupInsertion(std::string_view utf8) {
    std::wstring text = ToolBox::Utf8ToWide(utf8);
    for (wchar_t& c : text) {
        if (IsHiddenControl(c)) c = L' ';
    }
    return text;
}

LRESULT CALLBACK CBTProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && t_popupHook) {
        t_popupHook.Reset();
        const HWND box = reinterpret_cast<HWND>(wParam);
        // The captions first: nothing that may throw (a log line) comes before them, and a box
        // left with its standard captions is never left up.
        const bool relabelled = Relabel(box);
        HICON icon = nullptr;
        bool pressYes = false;
        if (!relabelled) {
            t_closedUnlabelled = true;
            ::SendMessageW(box, WM_COMMAND, IDCANCEL, 0);
        } else {
            icon = SmallIcon();
            if (icon) ::SendMessageW(box, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
            pressYes = TestMode();
        }
        // No exception may cross the system's call.
        try {
            Logger::DebugW(L"[CBTProc]HCBT_ACTIVATE inc");
            if (!relabelled) {
                Logger::ErrorW(L"[CBTProc]Fail to relabel the buttons of the popup, the box is closed.");
            } else {
                Logger::DebugW(icon ? L"[CBTProc]icon found" : L"[CBTProc]no icon");
                if (pressYes) Logger::Debug("[CBTProc]test mode: pressing IDYES");
            }
        } catch (...) {
        }
        if (pressYes) ::SendMessageW(box, WM_COMMAND, IDYES, 0);
        return 0;
    }
    ::CallNextHookEx(t_popupHook.Get(), code, wParam, lParam);
    return 0;
}

int ShowConfirmationBox(const std::wstring& message) {
    // A box that never activates (none could be shown) leaves its hook: removed on return.
    struct HookScope {
        ~HookScope() { t_popupHook.Reset(); }
    } scope;
    t_closedUnlabelled = false;
    const HHOOK hook = g_installer.Get().Install(&CBTProc);
    if (!hook) {
        Logger::ErrorWithSystemErrorW(L"[Backbone::MakePopup]Fail to install the hook of the popup, no box shown.");
        return 0;
    }
    t_popupHook.Reset(hook);
    const int result = ::MessageBoxW(nullptr, message.c_str(), L"Varomet Launcher", MB_YESNOCANCEL | MB_SYSTEMMODAL);
    // Closed by its hook: whatever the box answered, no user saw its question as asked.
    return t_closedUnlabelled ? 0 : result;
}
