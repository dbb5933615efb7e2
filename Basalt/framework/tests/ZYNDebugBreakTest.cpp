#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "DebuggedChild.h"
#include "ZYNDebugBreak.h"
#include "ZYNSysWin.h"

namespace {

// A child that came back from the break ends with this code.
constexpr int kReturned = 3;

}  // namespace

VAROMET_CHILD_CASE(BreakKindOne) {
    ZYNDebugBreak(1);
    return kReturned;
}

VAROMET_CHILD_CASE(BreakKindZero) {
    ZYNDebugBreak(0);
    return kReturned;
}

VAROMET_CHILD_CASE(BreakKindSeven) {
    ZYNDebugBreak(7);
    return kReturned;
}

// The switches are read on the first call: turning one on afterwards changes nothing.
VAROMET_CHILD_CASE(BreakKindZeroAcrossASwitchChange) {
    ZYNDebugBreak(0);
    ::SetEnvironmentVariableA("ZYNDebugBreakOn", "1");
    ZYNDebugBreak(0);
    return kReturned;
}

TEST(ZYNDebugBreak, BreaksOnlyUnderADebuggerAndAsTheSwitchesAllow) {
    struct Case {
        const char* child;
        bool off;       // "ZYNDebugBreakOff" set
        bool on;        // "ZYNDebugBreakOn" set
        bool debugger;
        int breakpoints;
    };
    const Case cases[] = {
        {"BreakKindOne", false, false, true, 1},
        {"BreakKindOne", true, false, true, 0},
        {"BreakKindOne", false, true, true, 1},
        {"BreakKindOne", false, false, false, 0},
        {"BreakKindZero", false, false, true, 0},
        {"BreakKindZero", false, true, true, 1},
        {"BreakKindZero", true, true, true, 1},
        {"BreakKindZero", false, true, false, 0},
        {"BreakKindSeven", false, true, true, 1},
        {"BreakKindSeven", true, false, true, 0},
        {"BreakKindZeroAcrossASwitchChange", false, false, true, 0},
    };
    for (const Case& c : cases) {
        const std::string name = std::string(c.child) + (c.off ? " off" : "") + (c.on ? " on" : "") +
                                 (c.debugger ? " under a debugger" : " alone");
        const DebuggedChild::Variables variables = {{L"ZYNDebugBreakOff", c.off ? L"1" : L""},
                                                    {L"ZYNDebugBreakOn", c.on ? L"1" : L""}};
        const DebuggedChild::Result result = DebuggedChild::Run(c.child, variables, c.debugger);
        ASSERT_TRUE(result.started) << name << ": " << result.error;
        EXPECT_EQ(result.exitCode, static_cast<std::uint32_t>(kReturned)) << name;
        EXPECT_EQ(result.breakpoints, c.breakpoints) << name;
    }
}
