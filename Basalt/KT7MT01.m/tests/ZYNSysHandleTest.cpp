#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "ZYNSysHandle.h"

namespace {

std::vector<int> g_closed;

// Some system closes write the thread's last error even when they succeed.
void CloseAndWriteLastError(int handle) {
    g_closed.push_back(handle);
    ::SetLastError(ERROR_INVALID_HANDLE);
}

using Owner = ZYNSysHandle<ZYNSysHandleTraits<int, &CloseAndWriteLastError>>;

TEST(ZYNSysHandle, ClosingKeepsTheLastErrorOfTheCallThatFailedBefore) {
    struct Case {
        const char* name;
        void (*letGo)(std::optional<Owner>& owner);
    };
    const Case cases[] = {
        {"Reset to nothing", [](std::optional<Owner>& owner) { owner->Reset(); }},
        {"Reset to another handle", [](std::optional<Owner>& owner) { owner->Reset(8); }},
        {"Put", [](std::optional<Owner>& owner) { static_cast<void>(owner->Put()); }},
        {"move assignment", [](std::optional<Owner>& owner) { *owner = Owner(9); }},
        {"destructor", [](std::optional<Owner>& owner) { owner.reset(); }},
    };
    for (const Case& c : cases) {
        g_closed.clear();
        std::optional<Owner> owner(std::in_place, 7);
        ::SetLastError(ERROR_ACCESS_DENIED);
        c.letGo(owner);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << c.name;
        EXPECT_EQ(g_closed, std::vector<int>{7}) << c.name;
    }
}

TEST(ZYNSysHandle, PutClosesWhatWasHeldAndOwnsWhatTheCallFillsIn) {
    g_closed.clear();
    {
        Owner owner(7);
        int* slot = owner.Put();
        EXPECT_EQ(g_closed, std::vector<int>{7});
        EXPECT_EQ(*slot, 0);
        *slot = 8;
        EXPECT_EQ(owner.Get(), 8);
    }
    EXPECT_EQ(g_closed, (std::vector<int>{7, 8}));
}

}  // namespace
