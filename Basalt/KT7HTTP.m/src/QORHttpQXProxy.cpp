// The raw-socket drivers' shared state.

#include "QORHttpQXProxy.h"

#include <cstdlib>
#include <mutex>
#include <new>

#include "ZYNSysWin.h"

#include <winsock2.h>

namespace {

std::mutex& AuthLock() {
    static std::mutex lock;
    return lock;
}

QORHttpQXProxyAuth& SharedAuth() {
    static QORHttpQXProxyAuth auth;
    return auth;
}

}  // namespace

const QORHttpQXProxySettings& QORHttpQXGetProxySettings() noexcept {
    static const QORHttpQXProxySettings settings = []() noexcept {
        QORHttpQXProxySettings read;
        char value[1024];
        DWORD length = ::GetEnvironmentVariableA("QORHttpProxy", value, sizeof value);
        try {
            if (length != 0 && length < sizeof value) read.host.assign(value, length);
        } catch (const std::bad_alloc&) {
            read.host.clear();
        }
        length = ::GetEnvironmentVariableA("QORHttpProxyPort", value, sizeof value);
        if (length != 0 && length < sizeof value) {
            char* end = nullptr;
            const unsigned long port = std::strtoul(value, &end, 10);
            // A port that is not one is not taken: the default stays.
            if (end != value && *end == '\0' && port != 0 && port <= 65535) read.port = static_cast<std::uint32_t>(port);
        }
        return read;
    }();
    return settings;
}

int QORHttpQXStartSockets() noexcept {
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 0), &data);
    }();
    return started;
}

bool QORHttpQXGetProxyAuth(QORHttpQXProxyAuth* out) noexcept {
    std::lock_guard<std::mutex> hold(AuthLock());
    try {
        *out = SharedAuth();
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool QORHttpQXSetProxyAuth(const std::string& scheme, const std::string& realm,
                           const std::string& credentials) noexcept {
    try {
        QORHttpQXProxyAuth fresh{scheme, realm, credentials};
        std::lock_guard<std::mutex> hold(AuthLock());
        std::swap(SharedAuth(), fresh);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void QORHttpQXForgetProxyRealm() noexcept {
    std::lock_guard<std::mutex> hold(AuthLock());
    SharedAuth().realm.clear();
}
