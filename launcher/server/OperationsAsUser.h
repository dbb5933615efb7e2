#pragma once
// Operations run in a desktop session as its user, by the user extension of the request's
// session. Codes: kAsUserDone, kAsUserUnreachable (the extension could not be reached or the
// exchange failed), kAsUserMalformedReply, or any other: the extension's own code.

#include <cstdint>
#include <string>
#include <vector>

#include "JsonValue.h"

class OrdanaRequestInfo;

namespace Operations {

class AsUser {
public:
    // args is only read; on 0 the caller owns content (it may be a null value).
    static std::uint32_t RunOperationByUserExtension(const OrdanaRequestInfo& requestInfo, const std::string& op,
                                                     const JSON::Value* args, JSON::ValuePtr& content);
    static std::uint32_t ExecuteCommandAsUser(const OrdanaRequestInfo& requestInfo, const std::vector<std::string>& cmd,
                                              std::int32_t& exitCode, std::uint32_t timeoutMs, bool runas);
    static std::uint32_t MakeFolderAsUser(const OrdanaRequestInfo& requestInfo, const std::string& path,
                                          bool& created);
    static std::uint32_t PostMessageToWindowAsUser(const OrdanaRequestInfo& requestInfo, const std::string& windowClass,
                                                   std::uint32_t message, std::uint64_t wparam, std::int64_t lparam);
};

}  // namespace Operations
