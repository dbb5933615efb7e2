#pragma once
// One media file the platform asks the launcher to download.

#include <cstdint>
#include <string>

#include "JsonValue.h"

class MediaInfo {
public:
    // A null value gives an invalid descriptor. A "size" that is not a decimal string
    // throws std::invalid_argument or std::out_of_range: the request's handler reports it.
    explicit MediaInfo(const JSON::Value* value);

    const std::string& GetFileName() const { return fileName; }
    const std::string& GetHash() const { return hash; }
    std::int64_t GetSize() const { return size; }
    std::string ToString() const;

    std::string downloadLink;
    std::string fileName;
    std::string hash;
    std::string hashAlgorithmLabel;
    std::string cafDownloadLink;
    std::string desc;
    std::string codelevel;
    std::int64_t size = 0;
    bool isHF = false;
    bool isValid = true;
};
