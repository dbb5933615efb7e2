#include "Config.h"

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "Logger.h"
#include "TextFile.h"
#include "ToolBox.h"

namespace {

const std::map<std::string, std::int32_t> kOptionNames = {
    {"WAIT_FOR_DEBUG", ConfigOption::WAIT_FOR_DEBUG},
    {"DO_NOT_USE_VARLIST", ConfigOption::DO_NOT_USE_VARLIST},
    {"KEEP_MEDIA_UNZIP", ConfigOption::KEEP_MEDIA_UNZIP},
    {"DO_JSON_PRINT", ConfigOption::DO_JSON_PRINT},
    {"IGNORE_POPUP", ConfigOption::IGNORE_POPUP},
    {"DO_NOT_USE_ENVLIST", ConfigOption::DO_NOT_USE_ENVLIST},
    {"ABLE_TO_USE_CUSTOM", ConfigOption::ABLE_TO_USE_CUSTOM},
    {"DISPLAY_SESSIONS_INFOS", ConfigOption::DISPLAY_SESSIONS_INFOS},
    {"IGNORE_TOKEN_ERROR", ConfigOption::IGNORE_TOKEN_ERROR},
    {"NO_NEED_SEC", ConfigOption::NO_NEED_SEC},
    {"DISABLE_REMOTE_LOGGING", ConfigOption::DISABLE_REMOTE_LOGGING},
    {"IGNORE_INVALID_CERT", ConfigOption::IGNORE_INVALID_CERT},
    {"DEBUG_CONTEXT", ConfigOption::DEBUG_CONTEXT},
    {"LOGGER_EX_MODE", ConfigOption::LOGGER_EX_MODE},
    {"KEEP_MEDIA_ZIP", ConfigOption::KEEP_MEDIA_ZIP},
    {"QORSYS_HTTP_LOGGING", ConfigOption::QORSYS_HTTP_LOGGING},
    {"SUPER_LOGGER", ConfigOption::SUPER_LOGGER},
    {"KEEP_ICON_RAW_IMAGE", ConfigOption::KEEP_ICON_RAW_IMAGE},
};

const std::map<std::string, std::int32_t> kVariableNames = {
    {"LOGLEVEL", ConfigVariable::LOGLEVEL},
    {"TEST_MODE", ConfigVariable::TEST_MODE},
    {"FORCE_VERSION_MSI", ConfigVariable::FORCE_VERSION_MSI},
    {"FORCE_VERSION_EXT", ConfigVariable::FORCE_VERSION_EXT},
    {"FORCE_VERSION_INT", ConfigVariable::FORCE_VERSION_INT},
    {"IFRAME_PATH", ConfigVariable::IFRAME_PATH},
    {"AUTH_WS_URL", ConfigVariable::AUTH_WS_URL},
};

std::mutex g_initMutex;
std::atomic<bool> g_ready{false};
std::set<std::int32_t> g_options;
std::map<std::int32_t, std::string> g_variables;

// A leading UTF-8 byte-order mark is not part of the first line.
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
    std::string content;
    if (!ReadTextFile(path, content)) return false;
    if (content.starts_with("\xEF\xBB\xBF")) content.erase(0, 3);
    lines = SplitLines(content);
    return true;
}

void ParseLine(std::string line) {
    std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    if (line.empty()) return;
    std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
        std::string name = ToolBox::Trim(line.substr(0, equals));
        auto known = kVariableNames.find(name);
        if (known == kVariableNames.end()) {
            Logger::DeferredInternal("[Config::Init]unknown variable name: [" + name + "]");
            return;
        }
        g_variables.emplace(known->second, line.substr(equals + 1));  // the first value wins
        return;
    }
    std::string name = ToolBox::Trim(line);
    auto known = kOptionNames.find(name);
    if (known == kOptionNames.end()) {
        Logger::DeferredInternal("[Config::Init]unknown option name: [" + name + "]");
        return;
    }
    g_options.insert(known->second);
}

}  // namespace

bool Config::Init(const std::string& argumentPath) {
    std::lock_guard<std::mutex> lock(g_initMutex);
    if (g_ready.load()) return true;

    g_options.insert(ConfigOption::DO_NOT_USE_ENVLIST);
    std::string value;
    if (ToolBox::GetEnv("WEX_TRQ_UUID", value)) {
        g_options.insert(ConfigOption::TEST_MODE);
        std::string tool;
        if (ToolBox::GetEnv("WEX_TRQ_EXECTOOL", tool) && tool.find("MemoryCheck") != std::string::npos) {
            g_options.insert(ConfigOption::MEMORY_CHECK_RUN);
        }
    }
    std::string path = argumentPath;
    if (ToolBox::GetEnv("TrqConfPath", value)) {
        path = value;
        Logger::DeferredInternal("[Config::Init]Trq conf var detected : " + value);
    }

    if (!ToolBox::File::IsFile(path)) {
        Logger::DeferredInternal("[Config::Init]No config file found (" + path + ").");
    } else {
        std::vector<std::string> lines;
        if (!ReadLines(path, lines)) Logger::DeferredInternal("[Config::Init]Fail to open this file : " + path);
        if (lines.empty()) {
            Logger::DeferredInternal("[Config::Init] config file empty : " + path);
        } else {
            std::string content;
            for (std::size_t i = 0; i < lines.size(); ++i) content += (i ? "\n" : "") + lines[i];
            Logger::DeferredInternal("[Config::Init] config file content : " + content);
            for (const std::string& line : lines) ParseLine(line);
        }
        DisplayConfig();
    }
    g_ready.store(true);
    return true;
}

bool Config::IsActivated(std::int32_t optionId) {
    if (!g_ready.load()) {
        Logger::DeferredInternal("[Config::IsActivated]Config not ready !");
        return false;
    }
    bool active = g_options.count(optionId) != 0;
    Logger::DeferredInternal("[Config::IsActivated] this Option [" + std::to_string(optionId) + "] is " +
                          (active ? "activated." : "NOT activated."));
    return active;
}

bool Config::GetVariable(std::int32_t variableId, std::string& value) {
    if (!g_ready.load()) {
        Logger::DeferredInternal("[Config::GetVariable]Config not ready !");
        return false;
    }
    auto found = g_variables.find(variableId);
    if (found == g_variables.end()) {
        value.clear();
        return false;
    }
    value = found->second;
    return true;
}

bool Config::ActivateOption(std::int32_t optionId) {
    return g_options.insert(optionId).second;
}

void Config::DisplayConfig() {
    std::string text = "[Config::DisplayConfig]Current Configuration set :\n-[ConfigOption]:{";
    bool first = true;
    for (std::int32_t id : g_options) {
        text += (first ? "" : ", ") + std::to_string(id);
        first = false;
    }
    text += "}\n-[ConfigVariable]:\n";
    first = true;
    for (const auto& [id, value] : g_variables) {
        text += (first ? "" : "\n") + std::string("(") + std::to_string(id) + "):{" + value + "}";
        first = false;
    }
    Logger::DeferredDebug(text);
}
