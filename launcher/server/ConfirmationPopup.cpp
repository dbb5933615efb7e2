#include "ConfirmationPopup.h"

#include "Config.h"
#include "Logger.h"
#include "ToolBox.h"
#include "ZYNSysWindowHook.h"

namespace {

// Two popups on two client threads each keep their own hook.
thread_local ZYNSysWindowHook t_popupHook;

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

void Relabel(HWND box) {
    if (HWND yes = ::GetDlgItem(box, IDYES)) ::SetWindowTextW(yes, L"Only this time");
    if (HWND no = ::GetDlgItem(box, IDNO)) ::SetWindowTextW(no, L"Always");
    // Shared: the system keeps it for the life of the module.
    auto icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconResource),
                                                IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                ::GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    if (icon) {
        Logger::DebugW(L"[CBTProc]icon found");
        ::SendMessageW(box, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    } else {
        Logger::DebugW(L"[CBTProc]no icon");
    }
    if (Config::IsActivated(ConfigOption::TEST_MODE)) {
        Logger::Debug("[CBTProc]test mode: pressing IDYES");
        ::SendMessageW(box, WM_COMMAND, IDYES, 0);
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
        // No exception may cross the system's call; the hook goes in any case.
        try {
            Logger::DebugW(L"[CBTProc]HCBT_ACTIVATE inc");
            Relabel(reinterpret_cast<HWND>(wParam));
        } catch (...) {
        }
        t_popupHook.Reset();
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
    const HHOOK hook = g_installer.Get().Install(&CBTProc);
    if (!hook) {
        Logger::ErrorWithSystemErrorW(L"[Backbone::MakePopup]Fail to install the hook of the popup, no box shown.");
        return 0;
    }
    t_popupHook.Reset(hook);
    return ::MessageBoxW(nullptr, message.c_str(), L"Varomet Launcher", MB_YESNOCANCEL | MB_SYSTEMMODAL);
}
