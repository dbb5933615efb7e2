// Lower-casing and the registry and WinINet settings of the process.
#include "QORHttpTools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "QORHttpErrors.h"
#include "ZYNSysRegistryHandle.h"
#include "ZYNSysTraceClient.h"

namespace {

char ToLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

void LowerBefore(char* from, char* end, char stop) {
    for (char* p = from; p < end && *p != stop; ++p) *p = ToLower(*p);
}

constexpr const char kFeatureControl[] = "Software\\Microsoft\\Internet Explorer\\Main\\FeatureControl\\";

struct Feature {
    const char* key;
    HKEY root;
    const char* switchName;  // null: always
    const char* extraName;   // a second value of the key, or null
    DWORD extraValue;
};

const Feature kFeatures[] = {
    {"FEATURE_SKIP_POST_RETRY_ON_INTERNETWRITEFILE_KB895954", HKEY_CURRENT_USER, nullptr, nullptr, 0},
    {"FEATURE_FIX_CHUNKED_PROXY_SCRIPT_DOWNLOAD_KB843289", HKEY_LOCAL_MACHINE, "QORHTTP_ENABLE_KB843289",
     nullptr, 0},
    {"FEATURE_CHUNK_TIMEOUT_KB914453", HKEY_CURRENT_USER, "QORHTTP_ENABLE_KB914453", "ChunkSelectTimeout",
     0xFFFFFFFFu},
    {"FEATURE_CERT_TRUST_VERIFIED_KB936882", HKEY_CURRENT_USER, "QORHTTP_ENABLE_KB936882", nullptr, 0},
    {"FEATURE_WAIT_TIME_THREAD_TERMINATE_KB886801", HKEY_LOCAL_MACHINE, "QORHTTP_ENABLE_KB886801",
     "ThreadTerminateWaitTime", 2000},
};

// The program's file name without its folder, the value name of every feature.
void ExecutableName(char* name, DWORD size) {
    char path[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    path[std::min<DWORD>(length, MAX_PATH)] = '\0';
    const char* slash = std::strrchr(path, '\\');
    const char* alt = std::strrchr(path, '/');
    if (alt != nullptr && (slash == nullptr || alt > slash)) slash = alt;
    const char* file = slash != nullptr ? slash + 1 : path;
    const std::size_t copied = strnlen(file, size - 1);
    std::memcpy(name, file, copied);
    name[copied] = '\0';
}

// A text value of Internet Explorer's key, for the trace only.
void ReadText(HKEY key, const char* name, char* out, DWORD size) {
    out[0] = '\0';
    if (key == nullptr) return;
    DWORD type = 0;
    DWORD bytes = size - 1;
    if (::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ) {
        bytes = 0;
    }
    out[std::min<DWORD>(bytes, size - 1)] = '\0';
}

// -1 when the variable is unset, else its decimal value (0 when it is not a number).
long ConnectionNumberSetting() {
    static const long setting = [] {
        const char* text = std::getenv("ZYNSysMaxHTTPConnectionNumber");
        if (text == nullptr) return -1L;
        errno = 0;
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        return end == text || *end != '\0' || errno != 0 ? 0L : value;
    }();
    return setting;
}

std::atomic<int> g_regKeysPending{1};

}  // namespace

void HeaderToLower(char* head) noexcept {
    if (head == nullptr) return;
    char* const end = head + std::strlen(head);
    const bool crlf = std::strstr(head, "\r\n") != nullptr;
    const char* const eol = crlf ? "\r\n" : "\n";
    const std::size_t eolSize = crlf ? 2 : 1;
    char* line = std::strstr(head, eol);
    if (line == nullptr) {
        LowerBefore(head, end, ':');
        return;
    }
    for (line += eolSize; line < end;) {
        char* lineEnd = std::strstr(line, eol);
        if (lineEnd == nullptr) lineEnd = end;
        // The empty line ends the head: a body after it keeps its bytes.
        if (lineEnd == line) break;
        char* colon = static_cast<char*>(std::memchr(line, ':', static_cast<std::size_t>(lineEnd - line)));
        if (colon != nullptr) LowerBefore(line, colon, ':');
        line = lineEnd == end ? end : lineEnd + eolSize;
    }
}

HRESULT CookieToLower(char* text) noexcept {
    if (text == nullptr) return E_FAIL;
    char* start = std::strchr(text, ':');
    if (start == nullptr) start = text;
    char* end = std::strstr(start, "\r\n");
    if (end == nullptr) end = start + std::strlen(start);
    char* p = static_cast<char*>(std::memchr(start, ';', static_cast<std::size_t>(end - start)));
    if (p == nullptr) return 0;
    ++p;
    while (p < end) {
        while (p < end && *p != '=' && *p != ';') {
            *p = ToLower(*p);
            ++p;
        }
        if (p < end && *p == '=') {
            while (p < end && *p != ';') ++p;
        }
        if (p < end) ++p;
    }
    return 0;
}

HRESULT QORHttpTools::InitializeRegKeys(ZYNSysTraceClient* trace) noexcept {
    if (g_regKeysPending.exchange(0) == 0) return 0;
    ZYNSysTraceClient::InfoPrintf(trace, "\tQORHttpTools::InitializeRegKeys");
    char appName[MAX_PATH + 1];
    ExecutableName(appName, sizeof appName);

    char version[128];
    char svcVersion[128];
    char kbNumber[128];
    {
        ZYNSysRegKey ie;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Internet Explorer", 0, KEY_QUERY_VALUE,
                            ie.Put()) != ERROR_SUCCESS) {
            static_cast<void>(ie.Take());
        }
        ReadText(ie.Get(), "Version", version, sizeof version);
        ReadText(ie.Get(), "svcVersion", svcVersion, sizeof svcVersion);
        ReadText(ie.Get(), "svcKBNumber", kbNumber, sizeof kbNumber);
    }
    ZYNSysTraceClient::InfoPrintf(trace,
                                  "\tQORHttpTools::InitializeRegKeys (AppName <%s>) (IE <%s>, IESVC <%s>, KB <%s>)",
                                  appName, version, svcVersion, kbNumber);

    for (const Feature& feature : kFeatures) {
        if (feature.switchName != nullptr && std::getenv(feature.switchName) == nullptr) continue;
        char keyPath[256];
        std::strcpy(keyPath, kFeatureControl);
        std::strcat(keyPath, feature.key);
        CreateRegKey(trace, feature.root, appName, keyPath, 1, REG_OPTION_NON_VOLATILE);
        if (feature.extraName != nullptr) {
            CreateRegKey(trace, feature.root, feature.extraName, keyPath, feature.extraValue,
                         REG_OPTION_NON_VOLATILE);
        }
    }

    const long setting = ConnectionNumberSetting();
    DWORD limit = 16;
    if (setting != -1) {
        if (setting < 4 || setting > 128) return 0;
        limit = std::max<DWORD>(static_cast<DWORD>(setting), 16);
    }
    ZYNSysTraceClient::InfoPrintf(trace, "\tQORHttpTools::InitializeRegKeys (InternetSetOption MAX_CONNS = %d)",
                                  static_cast<int>(limit));
    struct Option {
        DWORD id;
        const char* failure;
    };
    const Option options[] = {
        {INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER,
         "\tQORHttpTools::InitializeRegKeys (InternetSetOption INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER Error 0x%x)"},
        {INTERNET_OPTION_MAX_CONNS_PER_PROXY,
         "\tQORHttpTools::InitializeRegKeys (InternetSetOption INTERNET_OPTION_MAX_CONNS_PER_PROXY Error 0x%x)"},
        {INTERNET_OPTION_MAX_CONNS_PER_SERVER,
         "\tQORHttpTools::InitializeRegKeys (InternetSetOption INTERNET_OPTION_MAX_CONNS_PER_SERVER Error 0x%x)"},
    };
    for (const Option& option : options) {
        DWORD value = limit;
        if (!::InternetSetOptionW(nullptr, option.id, &value, sizeof value)) {
            TraceHttpWin32Error(&trace, 0, option.failure, ::GetLastError());
        }
    }
    return 0;
}

HRESULT QORHttpTools::CreateRegKey(ZYNSysTraceClient* trace, HKEY root, const char* valueName,
                                   const char* keyPath, DWORD value, DWORD options) noexcept {
    ZYNSysRegKey key;
    LSTATUS rc = ::RegCreateKeyExA(root, keyPath, 0, nullptr, options, KEY_WRITE, nullptr, key.Put(), nullptr);
    if (rc != ERROR_SUCCESS) {
        static_cast<void>(key.Take());
        return TraceHttpWin32Error(&trace, 0, "\tQORHttpTools::CreateRegKey (RegCreateKeyExA Error 0x%x)",
                                   static_cast<DWORD>(rc));
    }
    rc = ::RegSetValueExA(key.Get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (rc != ERROR_SUCCESS) {
        return TraceHttpWin32Error(&trace, 0, "\tQORHttpTools::CreateRegKey (RegSetValueExA Error 0x%x)",
                                   static_cast<DWORD>(rc));
    }
    return 0;
}

HRESULT QORHttpTools::ReadRegKeys(ZYNSysTraceClient* trace, HKEY root, const char* keyPath,
                                  const char* valueName, DWORD* value) noexcept {
    if (value != nullptr) *value = 0;
    ZYNSysRegKey key;
    if (::RegOpenKeyExA(root, keyPath, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS) {
        static_cast<void>(key.Take());
        return E_FAIL;
    }
    DWORD data = 0;
    DWORD size = sizeof data;
    DWORD type = 0;
    const LSTATUS rc = ::RegQueryValueExA(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    ZYNSysTraceClient::InfoPrintf(trace, "\tQORHttpTools::ReadRegKeys (RegQueryValueExA Error 0x%x) %s = %d",
                                  static_cast<unsigned>(rc), valueName != nullptr ? valueName : "",
                                  static_cast<int>(data));
    if (rc == ERROR_SUCCESS && value != nullptr) *value = data;
    return static_cast<HRESULT>(rc);
}
