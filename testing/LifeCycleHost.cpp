// "vtlifehost.exe": hosts the framework as the launcher does (linked whole, exporting it, with an
// import library) and loads "vtprobe.dll" through the life-cycle registry:
//   vtlifehost probe    dispatches, loads the probe and prints what its exported function answers
//   vtlifehost module   follows the probe's structs through load, dispatches, unload and the end
// Everything goes to stdout, one line per step; the exit code is 0 when the host got to its end.

#include <cstdio>
#include <cstring>

#include "ZYNSysLifeCycle.h"
#include "ZYNSysWin.h"

namespace {

void Say(const char* text, int value) {
    std::printf("%s %d\n", text, value);
    std::fflush(stdout);
}

void HostInit(void*) { Say("host init", 0); }
void HostState(int state) { Say("host state", state); }
void HostCall(int call) { Say("host call", call); }

int Probe() {
    Say("dispatch", ZYNSysLifeCycleDispatchInitialization());
    void* module = nullptr;
    Say("load", ZYNSysLifeCycleDynamicLoad("vtprobe", &module));
    using Run = int (*)(char*, int);
    auto run = reinterpret_cast<Run>(ZYNSysLifeCycleDynamicGetFunction(module, "VarometProbeRun"));
    if (!run) {
        Say("no probe function", 0);
        return 1;
    }
    char lines[4096];
    if (run(lines, sizeof lines) < 0) return 2;
    std::fputs(lines, stdout);
    Say("unload", ZYNSysLifeCycleDynamicUnload(&module));
    return 0;
}

int Module() {
    Say("host registered", ZYNSysLifeCycleGlobalFactory(&HostInit, &HostState, &HostCall));
    void* module = nullptr;
    Say("load before dispatch", ZYNSysLifeCycleDynamicLoad("vtprobe", &module));
    Say("dispatch", ZYNSysLifeCycleDispatchInitialization());
    Say("load", ZYNSysLifeCycleDynamicLoad("vtprobe", &module));
    ZYNSysLifeCycleDispatchStateChange(7);
    ZYNSysLifeCycleDispatchSystemCall(8);
    Say("unload", ZYNSysLifeCycleDynamicUnload(&module));
    Say("handle cleared", module == nullptr);
    Say("probe still mapped", ::GetModuleHandleW(L"vtprobe.dll") != nullptr);
    // The probe's code is gone: any of these reaching its structs would end the process.
    ZYNSysLifeCycleDispatchStateChange(9);
    ZYNSysLifeCycleDispatchSystemCall(10);
    ZYNSysLifeCycleDispatchFinalization();
    Say("end", 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 64;
    if (std::strcmp(argv[1], "probe") == 0) return Probe();
    if (std::strcmp(argv[1], "module") == 0) return Module();
    return 65;
}
