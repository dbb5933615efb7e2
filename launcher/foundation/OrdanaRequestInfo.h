#pragma once
// The context a request carries in its "cinfo" object: who sent it, the ticket for web
// services, the platform's service URLs and the sender's protocol version.

#include <string>

#include "DaemonVersion.h"
#include "JsonValue.h"

class OrdanaRequestInfo {
public:
    OrdanaRequestInfo() = default;
    OrdanaRequestInfo(std::string ordanaId, std::string casTgc, std::string encryptionWsUrl, std::string authWsUrl,
                      std::string ordanaUrl, DaemonVersion protocolVersion);

    // False only when value is not an object; a usable record has initialised set.
    static bool build(const JSON::Value* value, OrdanaRequestInfo& out);
    void Init();
    JSON::ValuePtr toJSON() const;
    // One line for logs; the ticket is masked.
    std::string toString() const;

    const std::string& GetOrdanaId() const { return ordanaId; }
    const std::string& GetCasTgc() const { return casTgc; }
    const std::string& GetAuthWsUrl() const { return authWsUrl; }

    bool initialised = false;
    std::string ordanaId;
    std::string casTgc;
    std::string encryptionWsUrl;
    std::string authWsUrl;
    std::string ordanaUrl;
    DaemonVersion protocolVersion;
};
