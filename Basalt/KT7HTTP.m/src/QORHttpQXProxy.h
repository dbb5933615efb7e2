#pragma once
// What every raw-socket driver of the process shares: the proxy taken from the environment
// ("QORHttpProxy", "QORHttpProxyPort", read once), the one start of Windows Sockets, and the
// proxy authentication learnt from a 407 answer, kept under a process-wide lock and handed out
// as copies. Nothing here throws.

#include <cstdint>
#include <string>

struct QORHttpQXProxySettings {
    std::string host;  // empty: no proxy
    std::uint32_t port = 8080;
};

struct QORHttpQXProxyAuth {
    std::string scheme;
    std::string realm;
    std::string credentials;  // empty: none known
};

// Read on the first call, the same for the whole process afterwards.
const QORHttpQXProxySettings& QORHttpQXGetProxySettings() noexcept;
// Starts Windows Sockets 2.0 on the first call; the start's result (0 on success).
int QORHttpQXStartSockets() noexcept;

// A copy of the shared proxy authentication; false when out of memory.
bool QORHttpQXGetProxyAuth(QORHttpQXProxyAuth* out) noexcept;
// false when out of memory (nothing changed then).
bool QORHttpQXSetProxyAuth(const std::string& scheme, const std::string& realm,
                           const std::string& credentials) noexcept;
// What a driver's destructor drops: the realm. The scheme stays as long as its credentials:
// sent without it, they are no header a proxy can read.
void QORHttpQXForgetProxyRealm() noexcept;
