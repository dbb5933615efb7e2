// The ops "exe" and "url": the question to the interactive user, asked through the
// confirmation box, and the code of the answer.

#include <string>

#include "Backbone.h"
#include "ConfirmationPopup.h"
#include "Json.h"
#include "Logger.h"
#include "ReturnCodes.h"
#include "ToolBox.h"

namespace {

// A question's text around the inserted one.
struct Question {
    const wchar_t* before;
    const wchar_t* after;
};

constexpr Question kExeQuestion{
    L"An application is contacting the Varomet Launcher asking it to launch this customn application:\n\n\t",
    L"\n\nDo you want to launch this application ?"};
constexpr Question kUrlQuestion{
    L"An application is contacting the Varomet Launcher asking it to use the following URL as a trusted third "
    L"party.\n\n\t",
    L"\n\nPlease confirm this URL corresponds to the Varomet server you're currently connected to."};

}  // namespace

int Backbone::MakePopup(const std::wstring& message, const std::string& logged) {
    Logger::Debug("[Backbone::MakePopup]try to display messageBox with this message : " + logged);
    const int result = ShowConfirmationBox(message);
    switch (result) {
    case IDCANCEL:
        Logger::DebugW(L"[Backbone::MakePopup]IDCANCEL");
        return kPopupRefused;
    case IDYES:
        Logger::DebugW(L"[Backbone::MakePopup]IDYES");
        return kPopupAcceptOnce;
    case IDNO:
        Logger::DebugW(L"[Backbone::MakePopup]IDNO");
        return kPopupAcceptAlways;
    default:
        Logger::Debug("[Backbone::MakePopup] unknow id : " + std::to_string(result));
        return kPopupUnknown;
    }
}

int Backbone::AskUserConfirmation(const OrdanaRequestInfo&, const JSON::Value* args, const std::string& op,
                                  JSON::ValuePtr& content) {
    // A string or a number's text; any other kind is the empty text.
    const std::string& text = args->GetText();
    // A program or an address that the platform would read only up to a NUL is never put to
    // the user: no action could carry out what was asked. Unknown, as for a box that cannot show.
    if (ToolBox::HoldsNul(text)) {
        Logger::Error("[Backbone::Process]not asked, the text holds a NUL character : " +
                      ToolBox::MaskSecretsInText(text));
        content = JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(kPopupUnknown));
        return kRcDone;
    }
    const std::string shown = ToolBox::MaskSecretsInText(text);
    const bool exe = op == "exe";
    Logger::Debug((exe ? "[Backbone::Process]Asking user to validate Application executable : "
                       : "[Backbone::Process]Asking user to validate the use of external URL for encryption : ") +
                  shown);
    const Question& question = exe ? kExeQuestion : kUrlQuestion;
    const std::wstring message = question.before + PopupInsertion(text) + question.after;
    // The question's own line breaks stay in the log; the client's are escaped.
    const std::string logged = ToolBox::WideToUtf8(question.before) + shown + ToolBox::WideToUtf8(question.after);
    content = JSON::MakeNumberFromUInt(static_cast<std::uint32_t>(MakePopup(message, logged)));
    return kRcDone;
}
