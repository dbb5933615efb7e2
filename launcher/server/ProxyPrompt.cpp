#include "ProxyPrompt.h"

#include "Logger.h"

namespace {

// Session 0 has no desktop anybody sees: a modal dialog there would wait for ever.
bool InteractiveSession() {
    DWORD session = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session) || session == 0) return false;
    HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    if (!station || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

class DialogProxyPrompt final : public ProxyPrompt {
public:
    DWORD Ask(HINTERNET request) override {
        if (!InteractiveSession()) {
            Logger::Warn("[SendRequest]no interactive session to ask for the proxy authentification");
            return ERROR_CANCELLED;
        }
        return ::InternetErrorDlg(::GetDesktopWindow(), request, ERROR_INTERNET_INCORRECT_PASSWORD,
                                  FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                      FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                                  nullptr);
    }
};

DialogProxyPrompt g_dialogPrompt;
constinit Seam<ProxyPrompt> g_prompt{g_dialogPrompt};

}  // namespace

ProxyPrompt* SetProxyPrompt(ProxyPrompt* prompt) { return g_prompt.Set(prompt); }
ProxyPrompt& GetProxyPrompt() { return g_prompt.Get(); }
