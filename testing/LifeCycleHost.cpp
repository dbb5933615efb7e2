// "vtlifehost.exe": hosts the framework as the launcher does (linked whole, exporting it, with an
// import library) and loads "vtprobe.dll" through the life-cycle registry:
//   vtlifehost probe    dispatches, loads the probe and prints what its exported function answers
//   vtlifehost module   follows the probe's structs through load, dispatches, unload and the end
//   vtlifehost refused  "vtfragile.dll" registers, then refuses its attach: new and reused record
//   vtlifehost nested   "vtnesting.dll" brings "vtfragile.dll" and loads "vtmodule" while it loads
//   vtlifehost unfree   the first free of "vtfragile.dll" fails, the second succeeds
//   vtlifehost meanwhile  another thread registers while "vtfragile.dll" is in the loader, then it refuses
// Everything goes to stdout, one line per step; the exit code is 0 when the host got to its end.

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ZYNSysLifeCycle.h"
#include "ZYNSysModuleFreer.h"
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

bool Mapped(const wchar_t* file) { return ::GetModuleHandleW(file) != nullptr; }

// The structs a refused module registered point into unmapped code: no dispatch may reach them.
int Refused() {
    Say("host registered", ZYNSysLifeCycleGlobalFactory(&HostInit, &HostState, &HostCall));
    Say("dispatch", ZYNSysLifeCycleDispatchInitialization());
    void* module = nullptr;
    ::SetEnvironmentVariableA("VAROMET_FRAGILE_REFUSE", "1");
    Say("refused load", ZYNSysLifeCycleDynamicLoad("vtfragile", &module));
    Say("fragile mapped", Mapped(L"vtfragile.dll"));
    ::SetEnvironmentVariableA("VAROMET_FRAGILE_REFUSE", nullptr);
    Say("load", ZYNSysLifeCycleDynamicLoad("vtfragile", &module));
    Say("unload", ZYNSysLifeCycleDynamicUnload(&module));
    // The record of the same name is reused: emptied before the load, it must stay empty.
    ::SetEnvironmentVariableA("VAROMET_FRAGILE_REFUSE", "1");
    Say("refused again", ZYNSysLifeCycleDynamicLoad("vtfragile", &module));
    Say("fragile mapped", Mapped(L"vtfragile.dll"));
    ZYNSysLifeCycleDispatchStateChange(7);
    ZYNSysLifeCycleDispatchSystemCall(8);
    ZYNSysLifeCycleDispatchFinalization();
    Say("end", 0);
    return 0;
}

// The dependency's structs leave with the module that brought it; the record keeps its own name
// although a load nested in its own overwrote the loader's buffer.
int Nested() {
    Say("dispatch", ZYNSysLifeCycleDispatchInitialization());
    void* module = nullptr;
    Say("load", ZYNSysLifeCycleDynamicLoad("vtnesting", &module));
    // Lands in the record of "vtmodule", the latest load.
    Say("host registered", ZYNSysLifeCycleGlobalFactory(&HostInit, &HostState, &HostCall));
    ZYNSysLifeCycleDispatchStateChange(7);
    Say("unload", ZYNSysLifeCycleDynamicUnload(&module));
    Say("fragile mapped", Mapped(L"vtfragile.dll"));
    ZYNSysLifeCycleDispatchStateChange(8);
    Say("reload", ZYNSysLifeCycleDynamicLoad("vtnesting", &module));
    // Reused in its place, before the record of "vtmodule": not appended after it.
    ZYNSysLifeCycleDispatchStateChange(9);
    ZYNSysLifeCycleDispatchFinalization();
    Say("end", 0);
    return 0;
}

// Gives nothing back the first time: the module stays, as when the system's free fails.
class FreerFailingOnce final : public ZYNSysModuleFreer {
public:
    bool Free(HMODULE module) override {
        if (failed_) return ::FreeLibrary(module) != FALSE;
        failed_ = true;
        return false;
    }

private:
    bool failed_ = false;
};

// The module of a failed unload stays whole: its structs still get dispatches, and it can still
// be unloaded.
int Unfree() {
    FreerFailingOnce freer;
    ZYNSysSetModuleFreer(&freer);
    Say("dispatch", ZYNSysLifeCycleDispatchInitialization());
    void* module = nullptr;
    Say("load", ZYNSysLifeCycleDynamicLoad("vtfragile", &module));
    Say("failed unload", ZYNSysLifeCycleDynamicUnload(&module));
    Say("handle kept", module != nullptr);
    ZYNSysLifeCycleDispatchStateChange(7);
    Say("unload", ZYNSysLifeCycleDynamicUnload(&module));
    Say("fragile mapped", Mapped(L"vtfragile.dll"));
    ZYNSysLifeCycleDispatchStateChange(8);
    ZYNSysSetModuleFreer(nullptr);
    Say("end", 0);
    return 0;
}

std::atomic<bool> g_started{false};
std::atomic<bool> g_inLoader{false};
std::atomic<bool> g_registered{false};

}  // namespace

// Run by "vtfragile.dll" while the system loads it: in the meanwhile case, waits (bounded) for the
// other thread's registration.
extern "C" __declspec(dllexport) void VarometHostWhileLoading() {
    if (!g_started) return;
    g_inLoader = true;
    for (int waited = 0; !g_registered && waited < 20000; waited += 10) ::Sleep(10);
}

namespace {

// What another thread registers while a load is under way is not the module's: the load's
// failure leaves it registered.
int Meanwhile() {
    Say("dispatch", ZYNSysLifeCycleDispatchInitialization());
    ZYNSysLifeCycleStruct* registered = nullptr;
    std::thread other([&] {
        g_started = true;
        for (int waited = 0; !g_inLoader && waited < 20000; waited += 10) ::Sleep(10);
        registered = ZYNSysLifeCycleGlobalFactoryInternal("host", &HostInit, &HostState, &HostCall, 0);
        Say("other registered", registered != nullptr);
        g_registered = true;
    });
    // Running before the load: a thread that starts meanwhile waits for the system's loader lock.
    while (!g_started) ::Sleep(1);
    ::SetEnvironmentVariableA("VAROMET_FRAGILE_REFUSE", "1");
    void* module = nullptr;
    Say("refused load", ZYNSysLifeCycleDynamicLoad("vtfragile", &module));
    other.join();
    ZYNSysLifeCycleDispatchStateChange(7);
    Say("check", ZYNSysLifeCycleGlobalFactoryInternalCheck(registered));
    ZYNSysLifeCycleDispatchFinalization();
    Say("end", 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 64;
    if (std::strcmp(argv[1], "probe") == 0) return Probe();
    if (std::strcmp(argv[1], "module") == 0) return Module();
    if (std::strcmp(argv[1], "refused") == 0) return Refused();
    if (std::strcmp(argv[1], "nested") == 0) return Nested();
    if (std::strcmp(argv[1], "unfree") == 0) return Unfree();
    if (std::strcmp(argv[1], "meanwhile") == 0) return Meanwhile();
    return 65;
}
