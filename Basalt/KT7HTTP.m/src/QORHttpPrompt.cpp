#include "QORHttpPrompt.h"

#include "ZYNSysTraceClient.h"

namespace {

constexpr DWORD kDialogFlags =
    FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

QORHttpDialogPrompt& RealPrompt() {
    static QORHttpDialogPrompt prompt;
    return prompt;
}

std::atomic<QORHttpPrompt*> g_installed{nullptr};

}  // namespace

bool QORHttpDialogPrompt::InteractiveSession() {
    DWORD session = 0;
    if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &session) || session == 0) return false;
    HWINSTA station = ::GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    if (!station || !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) return false;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

DWORD QORHttpDialogPrompt::Ask(HINTERNET request, DWORD error, HWND owner) {
    if (!interactive_ || !interactive_()) {
        static ZYNSysTraceClient* trace = nullptr;
        ZYNSysTraceClient::Create(&trace, "HTTP");
        if (trace) {
            ZYNSysTraceClient::WarningPrintf(trace, "\tQORHttpDialogPrompt::Ask (no interactive session for error %lu)",
                                             static_cast<unsigned long>(error));
        }
        return error;
    }
    return ::InternetErrorDlg(owner, request, error, kDialogFlags, nullptr);
}

QORHttpPrompt* QORHttpSetPrompt(QORHttpPrompt* prompt) { return g_installed.exchange(prompt); }

QORHttpPrompt& QORHttpGetPrompt() {
    QORHttpPrompt* installed = g_installed.load();
    return installed ? *installed : RealPrompt();
}
