#pragma once
// The process-wide configuration: switched-on options and named variables, read once
// from "launcher.conf" and a few environment variables.

#include <cstdint>
#include <string>

// Option ids: each is switched on by its name on a line of the file, except TEST_MODE and
// MEMORY_CHECK_RUN, which only the environment and the start context switch on.
namespace ConfigOption {
enum Id : std::int32_t {
    WAIT_FOR_DEBUG = 50,
    DO_NOT_USE_VARLIST = 51,
    KEEP_MEDIA_UNZIP = 52,
    DO_JSON_PRINT = 53,
    IGNORE_POPUP = 54,
    DO_NOT_USE_ENVLIST = 56,
    ABLE_TO_USE_CUSTOM = 57,
    DISPLAY_SESSIONS_INFOS = 58,
    IGNORE_TOKEN_ERROR = 59,
    NO_NEED_SEC = 60,
    DISABLE_REMOTE_LOGGING = 62,
    IGNORE_INVALID_CERT = 63,
    DEBUG_CONTEXT = 64,
    TEST_MODE = 65,
    LOGGER_EX_MODE = 66,
    MEMORY_CHECK_RUN = 67,
    KEEP_MEDIA_ZIP = 68,
    QORSYS_HTTP_LOGGING = 69,
    SUPER_LOGGER = 70,
    KEEP_ICON_RAW_IMAGE = 71,
};
}  // namespace ConfigOption

// Variable ids, set by "NAME=value" lines of the file.
namespace ConfigVariable {
enum Id : std::int32_t {
    LOGLEVEL = 1,
    TEST_MODE = 2,
    FORCE_VERSION_MSI = 3,
    FORCE_VERSION_EXT = 4,
    FORCE_VERSION_INT = 5,
    IFRAME_PATH = 6,
    AUTH_WS_URL = 7,
};
}  // namespace ConfigVariable

class Config {
public:
    // Reads the file once; later calls change nothing. Always true.
    static bool Init(const std::string& path);
    // False before Init.
    static bool IsActivated(std::int32_t optionId);
    // False (value untouched) before Init; false and an empty value when not set.
    static bool GetVariable(std::int32_t variableId, std::string& value);
    // True when the option was not on yet.
    static bool ActivateOption(std::int32_t optionId);
    static void DisplayConfig();
};
