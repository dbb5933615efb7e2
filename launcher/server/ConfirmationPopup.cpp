#include "ConfirmationPopup.h"

#include "Backbone.h"
#include "Config.h"
#include "Json.h"
#include "Logger.h"
#include "ToolBox.h"
#include "ZYNSysWindowHook.h"

namespace {

// Two popups on two client threads each keep their own hook.
thread_local ZYNSysWindowHook t_popupHook;

constexpr int kTestModeOption = 65;
constexpr int kIconResource = 101;

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
    if (Config::IsActivated(kTestModeOption)) {
        Logger::Debug("[CBTProc]test mode: pressing IDYES");
        ::SendMessageW(box, WM_COMMAND, IDYES, 0);
    }
}

}  // namespace

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

int Backbone::MakePopup(const std::wstring& message) {
    Logger::Debug("[Backbone::MakePopup]try to display messageBox with this message : " +
                  ToolBox::MaskSecretsInText(ToolBox::WideToUtf8(message)));
    // A box that never activates (none could be shown) leaves its hook: removed on return.
    struct HookScope {
        ~HookScope() { t_popupHook.Reset(); }
    } scope;
    t_popupHook.Reset(::SetWindowsHookExW(WH_CBT, &CBTProc, nullptr, ::GetCurrentThreadId()));
    const int result = ::MessageBoxW(nullptr, message.c_str(), L"Varomet Launcher", MB_YESNOCANCEL | MB_SYSTEMMODAL);
    switch (result) {
    case IDCANCEL:
        Logger::DebugW(L"[Backbone::MakePopup]IDCANCEL");
        return 40;
    case IDYES:
        Logger::DebugW(L"[Backbone::MakePopup]IDYES");
        return 42;
    case IDNO:
        Logger::DebugW(L"[Backbone::MakePopup]IDNO");
        return 43;
    default:
        Logger::Debug("[Backbone::MakePopup] unknow id : " + std::to_string(result));
        return 44;
    }
}

int Backbone::AskUserConfirmation(const OrdanaRequestInfo&, const JSON::Value* args, const std::string& op,
                                  JSON::ValuePtr& content) {
    // A string or a number's text; any other kind is the empty text.
    const std::string& text = args->GetText();
    std::wstring message;
    if (op == "exe") {
        Logger::Debug("[Backbone::Process]Asking user to validate Application executable : " +
                      ToolBox::MaskSecretsInText(text));
        message = L"An application is contacting the Varomet Launcher asking it to launch this customn "
                  L"application:\n\n\t" +
                  PopupInsertion(text) + L"\n\nDo you want to launch this application ?";
    } else {
        Logger::Debug("[Backbone::Process]Asking user to validate the use of external URL for encryption : " +
                      ToolBox::MaskSecretsInText(text));
        message = L"An application is contacting the Varomet Launcher asking it to use the following URL as a "
                  L"trusted third party.\n\n\t" +
                  PopupInsertion(text) +
                  L"\n\nPlease confirm this URL corresponds to the Varomet server you're currently connected to.";
    }
    content = JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(MakePopup(message)));
    return 0;
}
