#include "QORHttpWDriverSettings.h"

#include <cstdlib>

#include "QORHttpTools.h"
#include "ZYNSysTraceClient.h"
#include "ZYNSysWin.h"

namespace {

constexpr const char* kPolicyKeyMachine = "SOFTWARE\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr const char* kPolicyKeyUser = "Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

bool IsSet(const char* name) { return std::getenv(name) != nullptr; }

// A decimal value; false when unset.
bool ReadNumber(const char* name, std::uint32_t& value) {
    const char* text = std::getenv(name);
    if (!text) return false;
    value = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    return true;
}

}  // namespace

const QORHttpWDriverEnvironment& QORHttpWDriverEnvironment::Get() {
    static const QORHttpWDriverEnvironment environment = [] {
        QORHttpWDriverEnvironment read;
        read.readBufferSet = ReadNumber("QORHTTPBufferReadSize", read.readBufferSize);
        read.writeBufferSet = ReadNumber("QORHTTPBufferWriteSize", read.writeBufferSize);
        read.directConnect = IsSet("QORHTTP_DIRECT_CONNECT");
        read.disableLocalhost = IsSet("QORHttpDisableLocalhost");
        read.disableForceOnline = IsSet("DisableForceOnline");
        read.noRattrap = IsSet("ZYNSysNoRattrap");
        return read;
    }();
    return environment;
}

const std::string& QORHttpComputerName() {
    static const std::string name = [] {
        char buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD size = sizeof buffer;
        return ::GetComputerNameA(buffer, &size) ? std::string(buffer, size) : std::string();
    }();
    return name;
}

bool QORHttpPreventIgnoreCertErrors() {
    static const bool prevent = [] {
        static ZYNSysTraceClient* trace = nullptr;
        ZYNSysTraceClient::Create(&trace, "HTTP");
        DWORD value = 0;
        if (QORHttpTools::ReadRegKeys(trace, HKEY_LOCAL_MACHINE, kPolicyKeyMachine, "PreventIgnoreCertErrors",
                                      &value) != 0) {
            value = 0;
            QORHttpTools::ReadRegKeys(trace, HKEY_CURRENT_USER, kPolicyKeyUser, "PreventIgnoreCertErrors", &value);
        }
        return value != 0;
    }();
    return prevent;
}
