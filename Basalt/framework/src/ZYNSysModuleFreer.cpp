#include "ZYNSysModuleFreer.h"

#include <atomic>

namespace {

class SystemModuleFreer final : public ZYNSysModuleFreer {
public:
    bool Free(HMODULE module) override { return ::FreeLibrary(module) != FALSE; }
};

constinit SystemModuleFreer g_systemFreer;
constinit std::atomic<ZYNSysModuleFreer*> g_freer{&g_systemFreer};

}  // namespace

void ZYNSysSetModuleFreer(ZYNSysModuleFreer* freer) { g_freer.store(freer ? freer : &g_systemFreer); }

bool ZYNSysFreeModule(HMODULE module) { return g_freer.load()->Free(module); }
