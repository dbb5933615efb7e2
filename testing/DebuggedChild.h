#pragma once
// Runs a child case of this test program with this process as its debugger (or without one),
// counts the breakpoints it hits other than the loader's first one and keeps what it writes
// to the debugger.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace DebuggedChild {

struct Result {
    bool started = false;  // false: no process, or it ran past the deadline; error says why
    std::uint32_t exitCode = 0;
    int breakpoints = 0;  // after the loader's
    std::vector<std::string> debugStrings;  // as UTF-8, each without its closing NUL
    std::string error;
};

// Name and value pairs replace the variables of those names in the child's environment (an
// empty value removes the variable).
using Variables = std::vector<std::pair<std::wstring, std::wstring>>;

// Starts this program again with --child-case=name and waits up to 60 s for it to end.
Result Run(const char* caseName, const Variables& variables, bool debug);

}  // namespace DebuggedChild
