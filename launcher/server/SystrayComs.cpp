#include "SystrayComs.h"

#include <atomic>
#include <vector>

#include "Config.h"
#include "FileSystem.h"
#include "Json.h"
#include "Logger.h"
#include "OperationsAsUser.h"
#include "OperationsLocal.h"
#include "OrdanaRequestInfo.h"
#include "PathName.h"
#include "ReturnCodes.h"
#include "ToolBox.h"
#include "ZYNSysWin.h"

namespace {

constexpr std::int32_t kPlainPostTimeoutMs = 10000;

std::atomic<bool> g_localMode{false};

std::string Numbers(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam) {
    return std::to_string(message) + "/" + std::to_string(wParam) + "/" + std::to_string(lParam);
}

// The relay JSON holds blanks after its colons and commas: escaping its quotes alone would
// let the GUI program's argument splitting cut it into several arguments, so the whole
// text is enclosed in quotes, with the splitting's backslash rules.
std::string CommandLineArgument(const std::string& text) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string RelayText(const std::string& windowClass, std::uint32_t message, std::uint64_t wParam,
                      std::int64_t lParam) {
    JSON::Object relay;
    relay.Insert("wnd", JSON::MakeString(windowClass, false));
    relay.Insert("label", JSON::MakeString(std::to_string(message), false));
    relay.Insert("lparam", JSON::MakeString(std::to_string(lParam), false));
    relay.Insert("wparam", JSON::MakeString(std::to_string(wParam), false));
    return relay.Dump();
}

}  // namespace

SystrayComs::SystrayComs(const OrdanaRequestInfo* requestInfo, char mode, const char* executableRepository)
    : requestInfo_(requestInfo),
      mode_(mode),
      repository_(executableRepository ? std::string(executableRepository)
                                       : ToolBox::GetExecutableFolder().GetText()) {
    g_localMode.store(Config::IsActivated(ConfigOption::TEST_MODE));
}

bool SystrayComs::LocalMode() { return g_localMode.load(); }

void SystrayComs::SetExecutableRepository(const std::string& folder) {
    Logger::Debug("[SystrayComs::SetExecutableRepository] set repository : " + folder);
    repository_ = folder;
}

std::string SystrayComs::GetGuiExePath() const { return repository_ + "\\" + "VarometLauncherGUI.exe"; }

std::string SystrayComs::GetSystrayExePath() const { return repository_ + "\\" + "VarometLauncherSysTray.exe"; }

bool SystrayComs::StartSystray() {
    if (LocalMode()) return true;
    Logger::Debug("[SystrayComs::StartSystray]try to start the Systray");
    const std::string path = GetSystrayExePath();
    if (!PathAccessible(ToolBox::Utf8ToSharedWString(path))) {
        Logger::Error("[SystrayComs::StartSystray]the systray executable does not exist here : " + path);
        return false;
    }
    Logger::Debug("[SystrayComs::StartSystray]use systray exe path : " + path);

    // The program is quoted by ExecuteCmd (here or in the extension) when it holds a blank.
    const std::vector<std::string> cmd = {path};
    std::int32_t exitCode = -1;
    std::uint32_t code = kAsUserDone;
    if (requestInfo_ && requestInfo_->initialised) {
        code = Operations::AsUser::ExecuteCommandAsUser(*requestInfo_, cmd, exitCode, 0, false);
    } else {
        // A start failure leaves the exit code at -1, which is reported below.
        Operations::Local::ExecuteCmd(cmd, exitCode, true, 0, false, -1);
    }
    if (code == kAsUserDone && exitCode == 0) return true;
    Logger::Error("[SystrayComs::StartSystray]Fail to execute AsUser the systray ! (auRc:" + std::to_string(code) +
                  "//rc:" + std::to_string(exitCode) + ")");
    return false;
}

bool SystrayComs::ShutdownSystray() {
    Logger::Debug("[SystrayComs::ShutdownSystray]try to stop the Systray");
    return post(WM_CLOSE, 0, 0, kTrayClass);
}

bool SystrayComs::LaunchingApplication(std::uint64_t wParam, std::int64_t lParam) {
    Logger::Internal("[SystrayComs::LaunchingApplication]post Updating message");
    return post(kLaunchingApplicationMessage, wParam, lParam, kTrayClass);
}

bool SystrayComs::post(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam,
                       const std::string& windowClass) {
    switch (mode_) {
        case 'l':
            Logger::Internal("[SystrayComs::post]{local}" + Numbers(message, wParam, lParam));
            return Operations::Local::PostMessageToWindow(windowClass, message, wParam, lParam);
        case 'p': {
            Logger::Internal("[SystrayComs::post]{plain}" + Numbers(message, wParam, lParam));
            const std::vector<std::string> cmd = {
                GetGuiExePath(), "postStatus", CommandLineArgument(RelayText(windowClass, message, wParam, lParam))};
            std::int32_t exitCode = -1;
            if (Operations::Local::ExecuteCmd(cmd, exitCode, !LocalMode(), kPlainPostTimeoutMs, false, -1) &&
                exitCode == kRcDone)
                return true;
            Logger::Error("[Backbone::Process] Fail to run command to post msg session.");
            return false;
        }
        case 'i':
            // Without a request there is no session whose extension could be asked.
            if (!requestInfo_) {
                Logger::Error("[SystrayComs::post]{indirect}no request context, nothing posted : " +
                              Numbers(message, wParam, lParam));
                return false;
            }
            Logger::Internal("[SystrayComs::post]{indirect}<" + requestInfo_->toString() + ">" +
                             Numbers(message, wParam, lParam));
            return Operations::AsUser::PostMessageToWindowAsUser(*requestInfo_, windowClass, message, wParam,
                                                                 lParam) == kAsUserDone;
        default:
            Logger::Warn(std::string("[SystrayComs::post]Unknown mode : ") + mode_);
            return false;
    }
}
