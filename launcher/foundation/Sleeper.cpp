#include "Sleeper.h"

#include <atomic>

#include "ZYNSysWin.h"

namespace {

class RealSleeper final : public Sleeper {
public:
    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

RealSleeper g_realSleeper;
std::atomic<Sleeper*> g_sleeper{&g_realSleeper};

}  // namespace

void SetSleeper(Sleeper* sleeper) {
    g_sleeper.store(sleeper ? sleeper : &g_realSleeper);
}

Sleeper& GetSleeper() {
    return *g_sleeper.load();
}
