#include <shlobj.h>
#include <shobjidl.h>

#include <string>

#include "ComSupport.h"
#include "Config.h"
#include "Logger.h"
#include "ToolBox.h"
#include "Utils.h"

namespace {

constexpr char kPrefix[] = "[FunctionnalCore::MakeShortcut]";

// The name becomes part of a path: it must stay one file name inside the folder.
bool IsPlainFileName(const std::string& name) {
    if (name == "." || name == "..") return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
        if (std::string("\\/:*?\"<>|").find(c) != std::string::npos) return false;
    }
    return true;
}

// A setter's S_FALSE (SetPath on a target not created yet) is a success.
void LogStep(HRESULT hr, const std::string& step, const std::string& shown) {
    if (SUCCEEDED(hr)) {
        Logger::Debug(std::string(kPrefix) + step + " succeeded : [" + ToolBox::MaskSecretsInText(shown));
    } else {
        Logger::Error(std::string(kPrefix) + step + " Failed ! (rc : " + std::to_string(hr) + ")");
    }
}

}  // namespace

HRESULT Utils::MakeShortcut(const std::vector<std::string>& cmd, const std::string& name,
                            const std::string& description, const std::string& iconPath, std::int32_t iconIndex) {
    Logger::Debug("[Utils::MakeShortcut]Trying to create Shortcut with these parameters :\n-[cmd]: " +
                  ToolBox::MaskSecretsInText(ToolBox::Join(cmd, " ")) + "\n-[scName]: " +
                  ToolBox::MaskSecretsInText(name) + "\n-[scDesc]: " + ToolBox::MaskSecretsInText(description) +
                  "\n-[iconPath]: " + ToolBox::MaskSecretsInText(iconPath) + "\n-[iconIndex]: " +
                  std::to_string(iconIndex));
    if (name.empty() || iconPath.empty()) {
        Logger::Error(std::string(kPrefix) +
                      "invalid argument. Shortcut's name or the icon's path was not given.");
        return E_FAIL;
    }
    if (!IsPlainFileName(name)) {
        Logger::Error(std::string(kPrefix) + "invalid argument. Shortcut's name is no plain file name : " +
                      ToolBox::MaskSecretsInText(name));
        return E_FAIL;
    }
    if (cmd.empty()) {
        Logger::Error(std::string(kPrefix) + "the given command line is empty.");
        return E_FAIL;
    }
    // The link reads each text only up to a NUL: it would start or show something else.
    if (ToolBox::HoldsNul(ToolBox::Join(cmd, " ")) || ToolBox::HoldsNul(description) || ToolBox::HoldsNul(iconPath)) {
        Logger::Error(std::string(kPrefix) + "invalid argument. A text holds a NUL character.");
        return E_FAIL;
    }
    std::string folder;
    if (!Config::IsActivated(ConfigOption::TEST_MODE)) {
        if (!ToolBox::GetKnownFolderIdValue(FOLDERID_Desktop, folder, std::nullopt)) {
            Logger::Error(std::string(kPrefix) + "Fail to retreive KNOWNFOLDER's value [FOLDERID_Desktop].");
            return E_FAIL;
        }
    } else if (!ToolBox::GetEnv("WEX_TRQ_TMP", folder)) {
        // Without the variable the link would land at the root of the current drive.
        Logger::Error(std::string(kPrefix) + "test mode without WEX_TRQ_TMP: no folder for the shortcut.");
        return E_FAIL;
    }
    const std::string path = folder + "\\" + name + ".lnk";
    Logger::Info(std::string(kPrefix) + "trying to create a shortcut [" + path + "] for this command line:\n" +
                 ToolBox::MaskSecretsInText(ToolBox::Join(cmd, ", ")) + "\nwith this icon: '" +
                 ToolBox::MaskSecretsInText(iconPath) + "'");

    ComApartment apartment;
    ComPtr<IShellLinkW> link;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.OutVoid());
    if (FAILED(hr)) {
        Logger::Error(std::string(kPrefix) + "CoCreateInstance Failed ! (rc : " + std::to_string(hr) + ")");
        return hr;
    }
    Logger::Debug(std::string(kPrefix) + "CoCreateInstance succeeded !");

    LogStep(link->SetPath(ToolBox::Utf8ToWide(cmd[0]).c_str()), "SetPath", cmd[0] + "]");
    const std::string arguments = ToolBox::Join(std::vector<std::string>(cmd.begin() + 1, cmd.end()), " ");
    LogStep(link->SetArguments(ToolBox::Utf8ToWide(arguments).c_str()), "SetArguments", arguments + "]");
    if (!description.empty()) {
        LogStep(link->SetDescription(ToolBox::Utf8ToWide(description).c_str()), "SetDescription",
                description + "]");
    }
    if (iconIndex >= 0) {
        LogStep(link->SetIconLocation(ToolBox::Utf8ToWide(iconPath).c_str(), iconIndex), "SetIconLocation",
                iconPath + "]#" + std::to_string(iconIndex));
    }

    ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, file.OutVoid());
    if (FAILED(hr)) {
        Logger::Error(std::string(kPrefix) + "QueryInterface Failed ! (rc : " + std::to_string(hr) + ")");
        return hr;
    }
    Logger::Debug(std::string(kPrefix) + "QueryInterface succeeded !");
    hr = file->Save(ToolBox::Utf8ToWide(path).c_str(), TRUE);
    if (FAILED(hr)) {
        Logger::Error(std::string(kPrefix) + "Save Failed ! (rc : " + std::to_string(hr) + ")");
    } else {
        Logger::Debug(std::string(kPrefix) + "Save succeeded for : " + path);
    }
    return hr;
}
