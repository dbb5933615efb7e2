#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "Sleeper.h"

namespace {

class IdleSleeper final : public Sleeper {
public:
    void Sleep(std::uint32_t) override {}
};

TEST(Seam, InstallersPutBackWhatWasInstalledBeforeThem) {
    Sleeper* const real = &GetSleeper();
    IdleSleeper outer, inner;
    {
        ScopedSleeper installedOuter(outer);
        {
            ScopedSleeper installedInner(inner);
            EXPECT_EQ(&GetSleeper(), &inner);
        }
        EXPECT_EQ(&GetSleeper(), &outer);
    }
    EXPECT_EQ(&GetSleeper(), real);
}

TEST(Seam, AnInstallerRestoredEarlyLeavesAloneWhatWasInstalledAfterIt) {
    Sleeper* const real = &GetSleeper();
    IdleSleeper first, second;
    std::optional<ScopedSleeper> installedSecond;
    {
        ScopedSleeper installedFirst(first);
        installedFirst.Restore();
        EXPECT_EQ(&GetSleeper(), real);
        installedSecond.emplace(second);
    }
    EXPECT_EQ(&GetSleeper(), &second);
    installedSecond.reset();
    EXPECT_EQ(&GetSleeper(), real);
}

}  // namespace
