#include "ZYNDebugBreak.h"

#include "ZYNSysWin.h"

namespace {

bool IsSet(const char* name) { return ::GetEnvironmentVariableA(name, nullptr, 0) > 0; }

struct Switches {
    bool kindOne = !IsSet("ZYNDebugBreakOff");
    bool others = IsSet("ZYNDebugBreakOn");
};

}  // namespace

void ZYNDebugBreak(int kind) {
    static const Switches switches;
    const bool on = kind == 1 ? switches.kindOne : switches.others;
    if (on && ::IsDebuggerPresent()) ::DebugBreak();
}
