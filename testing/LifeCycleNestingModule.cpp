// "vtnesting.dll": built against the life-cycle host's import library and importing from
// "vtfragile.dll", which therefore loads with it. Its static initialiser registers an ordinary
// struct, then loads "vtmodule" through the registry while its own load is still running.

#include <cstdio>

#include "ZYNSysLifeCycle.h"
#include "ZYNSysWin.h"

extern "C" __declspec(dllimport) int VarometFragileRegistered();

namespace {

void Say(const char* text, int value) {
    std::printf("%s %d\n", text, value);
    std::fflush(stdout);
}

void NestingInit(void*) { Say("nesting init", 0); }
void NestingState(int state) { Say("nesting state", state); }
void NestingCall(int call) { Say("nesting call", call); }

const int g_loaded = [] {
    Say("nesting registered", ZYNSysLifeCycleGlobalFactory(&NestingInit, &NestingState, &NestingCall));
    void* module = nullptr;
    const int result = ZYNSysLifeCycleDynamicLoad("vtmodule", &module);
    Say("nested load", result);
    return result;
}();

}  // namespace

extern "C" __declspec(dllexport) int VarometNestingLoaded() { return g_loaded == 0 && VarometFragileRegistered(); }
