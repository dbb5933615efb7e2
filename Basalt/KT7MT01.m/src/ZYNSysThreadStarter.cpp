#include "ZYNSysThreadStarter.h"

#include <atomic>

namespace {

class SystemThreadStarter final : public ZYNSysThreadStarter {
public:
    HANDLE Start(LPTHREAD_START_ROUTINE entry, void* argument, DWORD flags, DWORD* id) override {
        return ::CreateThread(nullptr, 0, entry, argument, flags, id);
    }
};

// Constant-initialised: a static initialiser elsewhere may already start a thread.
constinit SystemThreadStarter g_systemStarter;
constinit std::atomic<ZYNSysThreadStarter*> g_starter{&g_systemStarter};

}  // namespace

void ZYNSysSetThreadStarter(ZYNSysThreadStarter* starter) { g_starter.store(starter ? starter : &g_systemStarter); }

HANDLE ZYNSysStartThread(LPTHREAD_START_ROUTINE entry, void* argument, DWORD flags, DWORD* id) {
    return g_starter.load()->Start(entry, argument, flags, id);
}
