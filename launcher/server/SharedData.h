#pragma once
// The process-wide registry of user extensions: platform id -> session -> extension.

#include <cstdint>
#include <memory>

class OrdanaRequestInfo;
class UserExtension;

class SharedData {
public:
    // A started extension for the request's session; empty on failure.
    static std::shared_ptr<UserExtension> GetExtension(const OrdanaRequestInfo& requestInfo);
    // The session recorded for the request's ordanaId.
    static bool FindSessionId(const OrdanaRequestInfo& requestInfo, std::uint32_t& sessionId);

    // Tests and benchmarks only: forgets every id and extension (an extension nobody else holds is stopped).
    static void ResetForTests();
};
