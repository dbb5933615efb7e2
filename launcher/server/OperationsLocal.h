#pragma once
// Operations the launcher runs itself, on the machine and in its own session.

#include <cstdint>
#include <string>

namespace Operations {

class Local {
public:
    // Posts to the first top-level window of the class; nothing waits for it to be handled.
    static bool PostMessageToWindow(const std::string& windowClass, std::uint32_t message, std::uint64_t wparam,
                                    std::int64_t lparam);
};

}  // namespace Operations
