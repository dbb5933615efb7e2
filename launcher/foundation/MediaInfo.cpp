#include "MediaInfo.h"

#include "Json.h"
#include "Logger.h"

MediaInfo::MediaInfo(const JSON::Value* value) {
    if (!value) {
        Logger::ErrorW(L"[MediaInfo::MediaInfo]Cannot build MediaInfo form NULL JSON value !");
        isValid = false;
        return;
    }
    JSON::GetStringField("fileName", fileName, value);
    JSON::GetStringField("downloadLink", downloadLink, value);
    JSON::GetStringField("desc", desc, value);
    JSON::GetStringField("cafDownloadLink", cafDownloadLink, value);
    JSON::GetStringField("hash", hash, value);
    JSON::GetStringField("hashAlgorithmLabel", hashAlgorithmLabel, value);
    JSON::GetStringField("codelevel", codelevel, value);
    JSON::GetBoolField("isHF", isHF, value);
    std::string sizeText;
    JSON::GetStringField("size", sizeText, value);
    size = std::stoll(sizeText, nullptr, 10);
}

std::string MediaInfo::ToString() const {
    auto flag = [](bool b) { return b ? std::string("true") : std::string("false"); };
    return "MediaInfo [fileName=" + fileName + ", downloadLink=" + downloadLink + ", desc=" + desc +
           ", cafDownloadLink=" + cafDownloadLink + ", hash=" + hash + ", hashAlgorithmLabel=" + hashAlgorithmLabel +
           ", codelevel=" + codelevel + ", size=" + std::to_string(size) + ", isHF=" + flag(isHF) +
           ", isValid=" + flag(isValid) + "]";
}
