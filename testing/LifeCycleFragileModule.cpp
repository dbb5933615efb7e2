// "vtfragile.dll": built against the life-cycle host's import library. Its static initialiser
// registers a priority and an ordinary struct; its DllMain runs the host's hook
// "VarometHostWhileLoading" when the host exports one, then refuses the attach while the
// environment holds VAROMET_FRAGILE_REFUSE, so the load fails after the registrations.

#include <cstdint>
#include <cstdio>

#include "ZYNSysLifeCycle.h"
#include "ZYNSysWin.h"

namespace {

constexpr std::uint16_t kFragilePriority = 40966;

void Say(const char* text, int value) {
    std::printf("%s %d\n", text, value);
    std::fflush(stdout);
}

void OrdinaryInit(void*) { Say("fragile ordinary init", 0); }
void OrdinaryState(int state) { Say("fragile ordinary state", state); }
void OrdinaryCall(int call) { Say("fragile ordinary call", call); }
void PriorityInit(void*) { Say("fragile priority init", 0); }
void PriorityState(int state) { Say("fragile priority state", state); }
void PriorityCall(int call) { Say("fragile priority call", call); }

const int g_registered = [] {
    const int priority = ZYNSysLifeCycleGlobalFactoryPrivate(static_cast<ZYNSysLifeCyclePriorFlag>(kFragilePriority),
                                                             &PriorityInit, &PriorityState, &PriorityCall);
    const int ordinary = ZYNSysLifeCycleGlobalFactory(&OrdinaryInit, &OrdinaryState, &OrdinaryCall);
    return priority == 0 && ordinary == 0 ? 1 : 0;
}();

}  // namespace

// Imported by "vtnesting.dll", which makes this module its dependency.
extern "C" __declspec(dllexport) int VarometFragileRegistered() { return g_registered; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    using Hook = void (*)();
    if (auto hook = reinterpret_cast<Hook>(::GetProcAddress(::GetModuleHandleW(nullptr), "VarometHostWhileLoading")))
        hook();
    return ::GetEnvironmentVariableA("VAROMET_FRAGILE_REFUSE", nullptr, 0) == 0;
}
