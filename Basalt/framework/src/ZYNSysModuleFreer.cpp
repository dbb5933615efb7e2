#include "ZYNSysModuleFreer.h"

#include "ZYNSysSeam.h"

namespace {

class SystemModuleFreer final : public ZYNSysModuleFreer {
public:
    bool Free(HMODULE module) override { return ::FreeLibrary(module) != FALSE; }
};

constinit SystemModuleFreer g_systemFreer;
constinit ZYNSysSeam<ZYNSysModuleFreer> g_freer(g_systemFreer);

}  // namespace

void ZYNSysSetModuleFreer(ZYNSysModuleFreer* freer) { g_freer.Set(freer); }

bool ZYNSysFreeModule(HMODULE module) { return g_freer.Get().Free(module); }
