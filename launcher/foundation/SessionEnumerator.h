#pragma once
// The sessions of the local machine. The real one asks Terminal Services; tests install
// their own through ToolBox::SetSessionEnumerator.

#include <cstdint>
#include <string>
#include <vector>

struct SessionInfo {
    std::uint32_t id = 0;
    std::uint32_t state = 0;  // 0: active
    std::string stationName;  // UTF-8; empty when the system gives none
    bool hasStationName = false;
};

class SessionEnumerator {
public:
    virtual ~SessionEnumerator() = default;
    // False when the sessions cannot be listed.
    virtual bool Enumerate(std::vector<SessionInfo>& sessions) = 0;
};

class WtsSessionEnumerator final : public SessionEnumerator {
public:
    bool Enumerate(std::vector<SessionInfo>& sessions) override;
};
