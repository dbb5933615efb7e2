#include "OrdanaRequestInfo.h"

#include "Config.h"
#include "Json.h"
#include "Logger.h"
#include "ToolBox.h"

OrdanaRequestInfo::OrdanaRequestInfo(std::string ordanaId, std::string casTgc, std::string encryptionWsUrl,
                                     std::string authWsUrl, std::string ordanaUrl, DaemonVersion protocolVersion)
    : ordanaId(std::move(ordanaId)),
      casTgc(std::move(casTgc)),
      encryptionWsUrl(std::move(encryptionWsUrl)),
      authWsUrl(std::move(authWsUrl)),
      ordanaUrl(std::move(ordanaUrl)),
      protocolVersion(protocolVersion) {}

bool OrdanaRequestInfo::build(const JSON::Value* value, OrdanaRequestInfo& out) {
    if (!value) {
        Logger::Error("[OrdanaRequestInfo::build]Invalid OrdanaInfo Object : NULL JSON value !");
        return false;
    }
    if (!value->IsObject()) {
        Logger::Error("[OrdanaRequestInfo::build]Invalid OrdanaInfo Object : Incorrect JSON value type !");
        return false;
    }
    const char* keys[] = {"cId", "cCas", "cEncryptWsUrl", "cAuthWsUrl", "cOrdanaUrl", "pVersion"};
    std::string texts[6];
    for (int i = 0; i < 6; ++i) {
        if (JSON::GetStringField(keys[i], texts[i], value)) continue;
        std::string where = i == 3 ? "[OrdanaInfo::build]" : "[OrdanaRequestInfo::build]";
        Logger::Internal(where + "Invalid OrdanaInfo Object  : missing attribute [" + keys[i] + "]");
    }
    DaemonVersion version;
    if (!DaemonVersion::Parse(texts[5], version)) {
        Logger::Error("[OrdanaRequestInfo::build]Invalid DaemonVersion definition string  [" +
                      ToolBox::MaskSecretsInText(texts[5]) + "] !");
        return true;
    }
    OrdanaRequestInfo record(texts[0], texts[1], texts[2], texts[3], texts[4], version);
    record.Init();
    out = record;
    return true;
}

void OrdanaRequestInfo::Init() {
    std::size_t fragment = encryptionWsUrl.find('#');
    if (fragment != std::string::npos) encryptionWsUrl.erase(fragment);
    Logger::Internal("[OrdanaRequestInfo::Init] init request info : " + toString());
    std::string configured;
    if (Config::GetVariable(ConfigVariable::AUTH_WS_URL, configured)) {
        authWsUrl = configured;
        Logger::Internal("[OrdanaRequestInfo::Init] set authentication Url to [" + configured + "] from Config setup.");
    }
    initialised = true;
}

JSON::ValuePtr OrdanaRequestInfo::toJSON() const {
    return JSON::MakeObject({{"cId", JSON::MakeString(ordanaId, true)},
                             {"cCas", JSON::MakeString(casTgc, false)},
                             {"cEncryptWsUrl", JSON::MakeString(encryptionWsUrl, false)},
                             {"cAuthWsUrl", JSON::MakeString(authWsUrl, false)},
                             {"cOrdanaUrl", JSON::MakeString(ordanaUrl, false)},
                             {"pVersion", JSON::MakeString(protocolVersion.ToString(), false)}});
}

std::string OrdanaRequestInfo::toString() const {
    // The ticket opens the user's web session: a log shows only its start and length. The rest
    // is the client's text, shown as a log shows such text (a ticket in a URL masked too).
    return ToolBox::MaskSecretsInText("OrdanaRequestInfo[ordanaId='" + ordanaId + "',casTgc='" +
                                      ToolBox::MaskSecret(casTgc) + "',encryptionWsUrl='" + encryptionWsUrl +
                                      "',authWsUrl='" + authWsUrl + "',ordanaUrl='" + ordanaUrl +
                                      "',protocolVersion='" + protocolVersion.ToString() + "']");
}
