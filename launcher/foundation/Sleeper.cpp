#include "Sleeper.h"

#include "ZYNSysWin.h"

namespace {

class RealSleeper final : public Sleeper {
public:
    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

RealSleeper g_realSleeper;
constinit Seam<Sleeper> g_sleeper{g_realSleeper};

}  // namespace

Sleeper* SetSleeper(Sleeper* sleeper) { return g_sleeper.Set(sleeper); }
Sleeper& GetSleeper() { return g_sleeper.Get(); }
