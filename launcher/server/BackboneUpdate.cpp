// The op "update": installs a new launcher package with msiexec while the tray shows a
// spinner, then restarts the tray from the new installation and starts "init" in the
// user's session.

#include <string>
#include <vector>

#include "Backbone.h"
#include "CommandRunner.h"
#include "Json.h"
#include "LaunchDaemon.h"
#include "Logger.h"
#include "OperationsLocal.h"
#include "OrdanaRequestInfo.h"
#include "ReturnCodes.h"
#include "SystrayComs.h"
#include "SystrayOperation.h"
#include "ToolBox.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr wchar_t kMutexName[] = L"VarometLauncher_UPDATE_MUTEX";

// The update's mutex: every ownership taken is given back before the handle closes, so a
// later update never finds it held or abandoned, whatever path this one leaves by.
class UpdateMutex {
public:
    UpdateMutex() : handle_(::CreateMutexW(nullptr, TRUE, kMutexName)) {
        // Another account's mutex may refuse us a handle at all: that is another update too.
        const DWORD error = ::GetLastError();
        if (!handle_.IsValid() || error == ERROR_ALREADY_EXISTS) {
            handle_.Reset();
            return;
        }
        owned_ = 1;
    }
    ~UpdateMutex() {
        for (; owned_ > 0; --owned_) ::ReleaseMutex(handle_.Get());
    }
    UpdateMutex(const UpdateMutex&) = delete;
    UpdateMutex& operator=(const UpdateMutex&) = delete;

    bool Held() const { return owned_ > 0; }
    bool Wait() {
        const DWORD result = ::WaitForSingleObject(handle_.Get(), INFINITE);
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return false;
        ++owned_;
        return true;
    }

private:
    ZYNSysKernelHandle handle_;
    int owned_ = 0;
};

// Element i as a string; false when missing or of another kind.
bool StringElement(const JSON::Value* args, std::size_t index, std::string& out) {
    if (index >= args->Size()) return false;
    const JSON::Value* element = args->At(static_cast<std::ptrdiff_t>(index));
    if (!element || !element->IsString()) return false;
    out = element->GetText();
    return true;
}

// msiexec and the tray start read one command line each: a quote in a path would end the
// quoted argument and let the rest through as switches, and the platform reads a path only
// up to a NUL.
bool UnfitForCommandLine(const std::string& path) {
    return path.find('"') != std::string::npos || ToolBox::HoldsNul(path);
}

}  // namespace

int Backbone::ProcessUpdate(const OrdanaRequestInfo& context, const JSON::Value* args, const std::string&,
                            JSON::ValuePtr&) {
    UpdateMutex mutex;
    if (!mutex.Held()) {
        Logger::Error("[Backbone::Process]concurrent UPDATE process detected !");
        return kRcUpdateConcurrent;
    }
    Logger::DebugW(std::wstring(L"Wait for mutex ") + kMutexName + L" to be open");
    if (!mutex.Wait()) Logger::DebugW(std::wstring(L"Fail to wait for the mutex : ") + kMutexName);

    SystrayComs tray(&context, 'p', nullptr);

    if (!args->IsArray()) {
        Logger::Error("[Backbone::Process]invalid UPDATE argument item ! expecting JSON Array but get this instead : " +
                      ToolBox::MaskSecretsInJson(*args));
        return kRcArgsWrongKind;
    }
    static const wchar_t* const kMissing[] = {
        L"[Backbone::Process]invalid UPDATE argument item ! No MSI path.",
        L"[Backbone::Process]invalid UPDATE argument item ! No MSI log path.",
        L"[Backbone::Process]invalid UPDATE argument item ! No Launcher base install path.",
        L"[Backbone::Process]invalid UPDATE argument item ! No target session ID .",
    };
    std::string elements[4];
    for (std::size_t i = 0; i < 4; ++i) {
        if (!StringElement(args, i, elements[i])) {
            Logger::ErrorW(kMissing[i]);
            return kRcUpdateArgMissing;
        }
    }
    const std::string& msiPath = elements[0];
    const std::string& logPath = elements[1];
    const std::string& basePath = elements[2];

    // A text without digits throws: the dispatcher answers kRcException, the mutex is given back.
    const int sessionId = std::stoi(elements[3], nullptr, 10);
    Logger::Debug("[Backbone::Process] Session id : " + std::to_string(sessionId));

    if (msiPath.empty()) {
        Logger::Error("[Backbone::Process]invalid UPDATE argument item ! Empty MSI path : " + msiPath);
        return kRcUpdatePathRefused;
    }
    if (!ToolBox::File::IsFile(msiPath) || UnfitForCommandLine(msiPath)) {
        Logger::Error("[Backbone::Process]invalid UPDATE argument item ! MSI path '" +
                      ToolBox::MaskSecretsInText(msiPath) + "' does not exsit or is not an MSI");
        return kRcUpdatePathRefused;
    }
    Logger::Debug("[Backbone::Process] Msi Path : " + ToolBox::MaskSecretsInText(msiPath));
    if (logPath.empty()) {
        Logger::Error("[Backbone::Process]invalid UPDATE argument item ! Empty Log MSI path : " + logPath);
        return kRcUpdatePathRefused;
    }
    // The log is deleted with the launcher's rights: a folder here would be deleted whole.
    // A trailing separator would escape the closing quote on msiexec's command line.
    if (UnfitForCommandLine(logPath) || ToolBox::File::IsDirectory(logPath) || logPath.back() == '\\' ||
        logPath.back() == '/') {
        Logger::Error("[Backbone::Process]invalid UPDATE argument item ! Log MSI path '" +
                      ToolBox::MaskSecretsInText(logPath) + "' is not a file path");
        return kRcUpdatePathRefused;
    }
    Logger::Debug("[Backbone::Process] Msi log Path : " + ToolBox::MaskSecretsInText(logPath));
    // The tray program and the launcher are started again from this folder.
    if (UnfitForCommandLine(basePath)) {
        Logger::Error("[Backbone::Process]invalid UPDATE argument item ! Launcher base install path '" +
                      ToolBox::MaskSecretsInText(basePath) + "' is not a folder path");
        return kRcUpdatePathRefused;
    }
    if (ToolBox::File::IsFile(logPath)) ToolBox::File::Delete(logPath);

    tray.StartSystray();
    int result = kRcDone;
    std::int64_t trayStatus = 0;
    std::int64_t trayValue = 0;
    {
        Spinner spinner(tray, true);
        const std::vector<std::string> command = {
            "msiexec", "/l*vx!", ToolBox::Surround(logPath, "\""), "/norestart", "/i", ToolBox::Surround(msiPath, "\""),
            "NOINIT=TRUE"};
        std::int32_t exitCode = 0;
        if (!GetCommandRunner().Run(command, exitCode, false, -1, true, -1)) {
            Logger::Error("[Backbone::Process] Fail to run command : " +
                          ToolBox::MaskSecretsInText(JoinStrings(command, " ")));
            trayStatus = 1;
            result = kRcInstallerNotStarted;
        } else if (exitCode == ERROR_SUCCESS_REBOOT_REQUIRED) {
            Logger::ErrorW(L"[Backbone::Process] the MSI installation has succeeded but a restart is needed .");
            trayStatus = 2;
        } else if (exitCode != 0) {
            Logger::Error("[Backbone::Process] the MSI installation has fail with return code : " +
                          std::to_string(exitCode));
            trayStatus = 3;
            trayValue = exitCode;
            result = kRcInstallFailed;
        } else {
            Logger::Info("[Backbone::Process] the MSI installation has succeeded !");
        }
        spinner.Stop();
    }

    if (result != kRcDone) {
        tray.LaunchingApplication(static_cast<std::uint64_t>(trayStatus), trayValue);
        return result;
    }
    tray.SetExecutableRepository(basePath);
    tray.ShutdownSystray();
    tray.StartSystray();
    tray.LaunchingApplication(static_cast<std::uint64_t>(trayStatus), trayValue);
    std::int32_t initExit = -1;
    if (!Operations::Local::ExecuteCmd({tray.GetGuiExePath(), "init"}, initExit, true, 5000, false, sessionId) ||
        initExit != kRcDone) {
        Logger::ErrorW(L"[Backbone::Process] Fail to run command to init session.");
    }
    return kRcDone;
}
