#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TestFolder.h"
#include "ZYNSysContext.h"
#include "ZYNSysLifeCycle.h"
#include "ZYNSysModuleHandle.h"
#include "ZYNSysNLS.h"

// The registry is process-wide and dispatches once: every case runs in a child of its own, notes
// what happens, prints its notes and ends with 0. A call into freed code or through a NULL
// callback ends the child early instead.

namespace {

std::string g_notes;

void Note(const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    g_notes += line;
    g_notes += '\n';
}

int PrintNotes() {
    std::fputs(g_notes.c_str(), stdout);
    return 0;
}

template <int Id>
void Init(void* argument) {
    Note("init %d%s", Id, argument ? " with argument" : "");
}
template <int Id>
void State(int state) {
    Note("state %d %d", Id, state);
}
template <int Id>
void Call(int call) {
    Note("call %d %d", Id, call);
}

template <int Id>
ZYNSysLifeCycleStruct* Register(std::uint16_t priority) {
    return ZYNSysLifeCycleGlobalFactoryInternal("test", &Init<Id>, &State<Id>, &Call<Id>, priority);
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

const char* RootName() {
    ZYNSysContext* root = ZYNSysContextGetRootContext();
    return root ? root->GetName() : "(none)";
}

// --- order ---

VAROMET_CHILD_CASE(LifeCycleOrder) {
    Register<1>(0);
    Register<2>(40970);
    Register<3>(40963);
    Register<4>(40960);
    Register<5>(40959);
    Register<6>(40963);
    Note("root %s, pending %d", RootName(), ZYNSysNLSProbe::IsPending() ? 1 : 0);
    Note("dispatch %d", ZYNSysLifeCycleDispatchInitialization());
    Note("root %s, pending %d", RootName(), ZYNSysNLSProbe::IsPending() ? 1 : 0);
    return PrintNotes();
}

// --- dispatch ---

VAROMET_CHILD_CASE(LifeCycleSecondDispatch) {
    Register<1>(0);
    int argument = 0;
    Note("dispatch %d", ZYNSysLifeCycleDispatchInitializationEx(&argument));
    Note("again %d", ZYNSysLifeCycleDispatchInitialization());
    Note("again with argument %d", ZYNSysLifeCycleDispatchInitializationEx(&argument));
    return PrintNotes();
}

VAROMET_CHILD_CASE(LifeCycleLateRegistration) {
    int argument = 0;
    ZYNSysLifeCycleDispatchInitializationEx(&argument);
    ZYNSysLifeCycleStruct* ordinary = Register<1>(0);
    ZYNSysLifeCycleStruct* priority = Register<2>(41000);
    Note("check %d %d", ZYNSysLifeCycleGlobalFactoryInternalCheck(ordinary),
         ZYNSysLifeCycleGlobalFactoryInternalCheck(priority));
    ZYNSysLifeCycleDispatchStateChange(3);
    return PrintNotes();
}

ZYNSysLifeCycleStruct* g_early = nullptr;
ZYNSysLifeCycleStruct* g_ordinary = nullptr;
ZYNSysLifeCycleStruct* g_late = nullptr;

// Registers a priority struct that sorts before the walk's position, an ordinary one and one that
// sorts after it.
void RegisteringInit(void*) {
    Note("init 1");
    g_early = Register<2>(40961);
    g_ordinary = Register<3>(0);
    g_late = Register<4>(40999);
}

VAROMET_CHILD_CASE(LifeCycleRegistrationDuringDispatch) {
    ZYNSysLifeCycleGlobalFactoryInternal("test", &RegisteringInit, nullptr, nullptr, 40990);
    Note("dispatch %d", ZYNSysLifeCycleDispatchInitialization());
    Note("check %d %d %d", ZYNSysLifeCycleGlobalFactoryInternalCheck(g_early),
         ZYNSysLifeCycleGlobalFactoryInternalCheck(g_ordinary), ZYNSysLifeCycleGlobalFactoryInternalCheck(g_late));
    return PrintNotes();
}

void Throwing(int) { throw std::runtime_error("callback failure"); }

VAROMET_CHILD_CASE(LifeCycleNullCallbacks) {
    Note("no init %d %d", ZYNSysLifeCycleGlobalFactory(nullptr, &State<9>, &Call<9>),
         ZYNSysLifeCycleGlobalFactoryInternal("test", nullptr, &State<9>, &Call<9>, 40970) ? 1 : 0);
    ZYNSysLifeCycleStruct* bare = ZYNSysLifeCycleGlobalFactoryInternal("test", &Init<1>, nullptr, nullptr, 0);
    ZYNSysLifeCycleGlobalFactoryInternal("test", &Init<2>, nullptr, nullptr, 40980);
    ZYNSysLifeCycleGlobalFactoryInternal("test", &Init<3>, &Throwing, &Throwing, 40990);
    Register<4>(0);
    const int check = ZYNSysLifeCycleGlobalFactoryInternalCheck(bare);
    Note("check %d, again %d", check, ZYNSysLifeCycleGlobalFactoryInternalCheck(bare));
    ZYNSysLifeCycleStruct withoutInit{0, nullptr, &State<9>, &Call<9>};
    Note("check without init %d, null %d", ZYNSysLifeCycleGlobalFactoryInternalCheck(&withoutInit),
         ZYNSysLifeCycleGlobalFactoryInternalCheck(nullptr));
    Note("dispatch %d", ZYNSysLifeCycleDispatchInitialization());
    ZYNSysLifeCycleDispatchStateChange(5);
    ZYNSysLifeCycleDispatchSystemCall(6);
    ZYNSysLifeCycleDispatchFinalization();
    ZYNSysLifeCycleDispatchFinalization();
    return PrintNotes();
}

// The check runs the caller's own struct too, once, and does not file it.
VAROMET_CHILD_CASE(LifeCycleCheckRunsAStructTheRegistryDoesNotHold) {
    ZYNSysLifeCycleStruct own{0, &Init<1>, &State<1>, &Call<1>};
    const int check = ZYNSysLifeCycleGlobalFactoryInternalCheck(&own);
    Note("check %d, init cleared %d", check, own.init ? 0 : 1);
    Note("again %d", ZYNSysLifeCycleGlobalFactoryInternalCheck(&own));
    ZYNSysLifeCycleDispatchInitialization();
    ZYNSysLifeCycleDispatchStateChange(2);
    return PrintNotes();
}

// Ordinary structs registered after a module's load land in its record: it stays current.
VAROMET_CHILD_CASE(LifeCycleFinalisationOrder) {
    Register<1>(40961);
    Register<2>(40970);
    Register<3>(0);
    Register<4>(0);
    ZYNSysLifeCycleDispatchInitialization();
    void* module = nullptr;
    Note("load %d", ZYNSysLifeCycleDynamicLoad("vtmodule", &module));
    Register<5>(0);
    Register<6>(0);
    ZYNSysLifeCycleDispatchStateChange(7);
    ZYNSysLifeCycleDispatchFinalization();
    ZYNSysLifeCycleDispatchSystemCall(8);
    return PrintNotes();
}

// --- modules ---

VAROMET_CHILD_CASE(LifeCycleModulesBeforeAndAfterDispatch) {
    void* module = nullptr;
    int result = ZYNSysLifeCycleDynamicLoad("kernel32", &module);
    Note("kernel32 %d %d", result, module == ::GetModuleHandleW(L"kernel32.dll") ? 1 : 0);
    module = nullptr;
    result = ZYNSysLifeCycleDynamicLoad("vtmodule", &module);
    Note("vtmodule before dispatch %d, loaded %d", result, ::GetModuleHandleW(L"vtmodule.dll") ? 1 : 0);
    ZYNSysLifeCycleDispatchInitialization();
    Note("no out pointer %d", ZYNSysLifeCycleDynamicLoad("vtmodule", nullptr));
    Note("load %d", ZYNSysLifeCycleDynamicLoad("vtmodule", &module));
    using Answer = int (*)();
    auto answer = reinterpret_cast<Answer>(ZYNSysLifeCycleDynamicGetFunction(module, "VarometTestModuleAnswer"));
    Note("answer %d", answer ? answer() : -1);
    Note("missing function %d, no module %d, no name %d",
         ZYNSysLifeCycleDynamicGetFunction(module, "NoSuchFunction") ? 1 : 0,
         ZYNSysLifeCycleDynamicGetFunction(nullptr, "VarometTestModuleAnswer") ? 1 : 0,
         ZYNSysLifeCycleDynamicGetFunction(module, nullptr) ? 1 : 0);
    void* again = nullptr;
    result = ZYNSysLifeCycleDynamicLoad("vtmodule", &again);
    Note("again %d, same %d", result, again == module ? 1 : 0);
    result = ZYNSysLifeCycleDynamicUnload(&module);
    Note("unload %d, cleared %d, loaded %d", result, module ? 0 : 1, ::GetModuleHandleW(L"vtmodule.dll") ? 1 : 0);
    result = ZYNSysLifeCycleDynamicLoad("vtmodule", &module);
    Note("reload %d, loaded %d", result, ::GetModuleHandleW(L"vtmodule.dll") ? 1 : 0);
    return PrintNotes();
}

VAROMET_CHILD_CASE(LifeCycleForeignModuleStays) {
    ZYNSysLifeCycleDispatchInitialization();
    ZYNSysModuleHandle foreign(::LoadLibraryW(L"vtmodule.dll"));
    void* module = foreign.Get();
    const int result = ZYNSysLifeCycleDynamicUnload(&module);
    Note("unload %d, kept %d, loaded %d", result, module == foreign.Get() ? 1 : 0,
         ::GetModuleHandleW(L"vtmodule.dll") ? 1 : 0);
    void* none = nullptr;
    Note("null handle %d, no pointer %d", ZYNSysLifeCycleDynamicUnload(&none), ZYNSysLifeCycleDynamicUnload(nullptr));
    return PrintNotes();
}

// The program's struct lands in the module's record, but its callbacks are not the module's:
// neither the unload nor a reload of the record drops it.
VAROMET_CHILD_CASE(LifeCycleUnloadAndReloadKeepTheProgramsStructsOfTheRecord) {
    ZYNSysLifeCycleDispatchInitialization();
    void* module = nullptr;
    Note("load %d", ZYNSysLifeCycleDynamicLoad("vtmodule", &module));
    Register<1>(0);
    Note("unload %d", ZYNSysLifeCycleDynamicUnload(&module));
    Note("reload %d", ZYNSysLifeCycleDynamicLoad("vtmodule", &module));
    ZYNSysLifeCycleDispatchStateChange(2);
    ZYNSysLifeCycleDispatchFinalization();
    return PrintNotes();
}

// A failed load leaves no record: later registrations go to the program, a later load works.
VAROMET_CHILD_CASE(LifeCycleFailedLoad) {
    ZYNSysLifeCycleDispatchInitialization();
    Register<1>(0);
    void* module = nullptr;
    Note("load %d", ZYNSysLifeCycleDynamicLoad("vtmodule", &module));
    Register<2>(0);
    void* missing = &module;
    const int result = ZYNSysLifeCycleDynamicLoad("vtnosuchmodule", &missing);
    Note("missing %d, cleared %d", result, missing ? 0 : 1);
    Register<3>(0);
    ZYNSysLifeCycleDispatchStateChange(4);
    void* again = nullptr;
    const int reload = ZYNSysLifeCycleDynamicLoad("vtmodule", &again);
    Note("again %d, same %d", reload, again == module ? 1 : 0);
    return PrintNotes();
}

std::atomic<bool> g_inCallback{false};

void PauseThenLoad() {
    g_inCallback = true;
    ::Sleep(300);  // the other thread's load starts meanwhile
    void* module = nullptr;
    Note("callback load %d", ZYNSysLifeCycleDynamicLoad("vtmodule", &module));
    Note("callback function %d", ZYNSysLifeCycleDynamicGetFunction(module, "VarometTestModuleAnswer") ? 1 : 0);
}
void LoadingInit(void*) { PauseThenLoad(); }
void LoadingState(int) { PauseThenLoad(); }

// The trigger's callback pauses while another thread loads or unloads: both end, the other
// thread's call is noted as "<what> <result>".
int BothEnd(void (*trigger)(), const char* what, int (*other)()) {
    std::atomic<int> done{0};
    std::thread watchdog([&] {
        for (int waited = 0; done < 2 && waited < 20000; waited += 10) ::Sleep(10);
        if (done < 2) {
            std::fputs("stuck\n", stdout);
            std::fflush(stdout);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
    });
    int result = -2;
    std::thread otherThread([&] {
        while (!g_inCallback) ::Sleep(1);
        result = other();
        ++done;
    });
    trigger();
    ++done;
    otherThread.join();
    watchdog.join();
    Note("%s %d", what, result);
    return PrintNotes();
}

int OtherLoad() {
    void* module = nullptr;
    return ZYNSysLifeCycleDynamicLoad("vtmodule", &module);
}
int BothLoadsEnd(void (*trigger)()) { return BothEnd(trigger, "other load", &OtherLoad); }

VAROMET_CHILD_CASE(LifeCycleStateChangeLoadsWhileAnotherThreadLoads) {
    ZYNSysLifeCycleGlobalFactory(&Init<1>, &LoadingState, &Call<1>);
    ZYNSysLifeCycleDispatchInitialization();
    return BothLoadsEnd([] { ZYNSysLifeCycleDispatchStateChange(2); });
}

VAROMET_CHILD_CASE(LifeCycleLateInitLoadsWhileAnotherThreadLoads) {
    ZYNSysLifeCycleDispatchInitialization();
    return BothLoadsEnd([] { ZYNSysLifeCycleGlobalFactory(&LoadingInit, &State<1>, &Call<1>); });
}

VAROMET_CHILD_CASE(LifeCycleCheckedInitLoadsWhileAnotherThreadLoads) {
    ZYNSysLifeCycleDispatchInitialization();
    return BothLoadsEnd([] {
        ZYNSysLifeCycleStruct own{0, &LoadingInit, nullptr, nullptr};
        ZYNSysLifeCycleGlobalFactoryInternalCheck(&own);
    });
}

void* g_module = nullptr;
std::atomic<bool> g_unloaded{false};

// Gives the other thread's unload time to run; it must wait for the walk's end instead.
void PauseWhileAnotherThreadUnloads(int) {
    g_inCallback = true;
    for (int waited = 0; !g_unloaded && waited < 1000; waited += 10) ::Sleep(10);
    Note("mapped during callback %d", ::GetModuleHandleW(L"vtmodule.dll") ? 1 : 0);
}

VAROMET_CHILD_CASE(LifeCycleUnloadWaitsForADispatchsCallback) {
    ZYNSysLifeCycleGlobalFactory(&Init<1>, &PauseWhileAnotherThreadUnloads, &Call<1>);
    ZYNSysLifeCycleDispatchInitialization();
    ZYNSysLifeCycleDynamicLoad("vtmodule", &g_module);
    return BothEnd([] { ZYNSysLifeCycleDispatchStateChange(2); }, "other unload", [] {
        const int result = ZYNSysLifeCycleDynamicUnload(&g_module);
        g_unloaded = true;
        return result;
    });
}

// Names that are not a plain short name, and a module only the current folder holds.
VAROMET_CHILD_CASE(LifeCycleRefusedNames) {
    const std::string beside = Narrow(TestProgramFolder()) + "\\vtmodule";
    char system[MAX_PATH] = {};
    ::GetSystemDirectoryA(system, MAX_PATH);
    const std::string kernel = std::string(system) + "\\kernel32";
    TestFolder folder;
    ::CopyFileW((TestProgramFolder() + L"\\vtmodule.dll").c_str(), folder.In(L"vtcwdonly.dll").c_str(), FALSE);
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(folder.Path().c_str());
    const char* const names[] = {"", "..\\vtmodule", "sub/vtmodule", "C:vtmodule", beside.c_str(), kernel.c_str(),
                                 "vtcwdonly"};
    for (int dispatched = 0; dispatched < 2; ++dispatched) {
        if (dispatched) ZYNSysLifeCycleDispatchInitialization();
        Note("null %d", ZYNSysLifeCycleDynamicLoad(nullptr, nullptr));
        for (std::size_t i = 0; i < std::size(names); ++i) {
            void* module = nullptr;
            const int result = ZYNSysLifeCycleDynamicLoad(names[i], &module);
            Note("name %zu %d %d", i, result, module ? 1 : 0);
        }
    }
    Note("current-folder module loaded %d", ::GetModuleHandleW(L"vtcwdonly.dll") ? 1 : 0);
    ::SetCurrentDirectoryW(previous);
    return PrintNotes();
}

struct Case {
    const char* name;
    const char* expected;
};

// A fixture languages file for the language settings' start-up registration.
std::vector<ChildProcess::EnvironmentChange> LanguagesFileIn(const TestFolder& folder) {
    ::CreateDirectoryW(folder.In(L"NLS").c_str(), nullptr);
    std::ofstream(folder.Utf8In("NLS\\SUPPLANG_Q9"), std::ios::binary) << "*BEGIN*\nFrench fr fr_FR 1252\n";
    return {{L"LANG", std::wstring(L"fr_FR")},
            {L"QORReffilesPath", folder.Path()},
            {L"QORInstallPath", std::nullopt},
            {L"ZYNSysNLSInstallPath", std::nullopt},
            {L"QORDefaultEnvironment", std::nullopt},
            {L"ZYNSysNLSCoreTrace", std::nullopt}};
}

void ExpectChildren(const Case* cases, std::size_t count) {
    TestFolder folder;
    const auto environment = LanguagesFileIn(folder);
    for (std::size_t i = 0; i < count; ++i) {
        const ChildProcess::Result child = ChildProcess::Run(cases[i].name, environment);
        EXPECT_EQ(child.exitCode, 0u) << cases[i].name;
        EXPECT_EQ(ChildProcess::TextOutput(child), cases[i].expected) << cases[i].name;
    }
}

TEST(ZYNSysLifeCycle, DispatchRunsPriorityStructsFirstThenOrdinaryOnesExactlyOnceSkippingEmptyCallbacks) {
    const Case cases[] = {
        // The program's own registrations ran too: "Main" is the root context, the settings are read.
        {"LifeCycleOrder",
         "root (none), pending 1\ninit 4\ninit 3\ninit 6\ninit 2\ninit 1\ninit 5\ndispatch 0\nroot Main, pending 0\n"},
        {"LifeCycleSecondDispatch",
         "init 1 with argument\ndispatch 0\nagain -1\nagain with argument -1\n"},
        {"LifeCycleLateRegistration",
         "init 1 with argument\ninit 2 with argument\ncheck -1 -1\nstate 2 3\nstate 1 3\n"},
        {"LifeCycleRegistrationDuringDispatch", "init 1\ninit 2\ninit 3\ninit 4\ndispatch 0\ncheck -1 -1 -1\n"},
        {"LifeCycleNullCallbacks",
         "no init -1 0\ninit 1\ncheck 0, again -1\ncheck without init -1, null -1\ninit 2\ninit 3\ninit 4\ndispatch 0\n"
         "state 4 5\ncall 4 6\nstate 4 0\n"},
        {"LifeCycleCheckRunsAStructTheRegistryDoesNotHold", "init 1\ncheck 0, init cleared 1\nagain -1\n"},
        {"LifeCycleFinalisationOrder",
         "init 1\ninit 2\ninit 3\ninit 4\nload 0\ninit 5\ninit 6\nstate 1 7\nstate 2 7\nstate 3 7\nstate 4 7\nstate 5 7\nstate 6 7\n"
         "state 6 0\nstate 5 0\nstate 4 0\nstate 3 0\nstate 2 0\nstate 1 0\n"
         "call 1 8\ncall 2 8\ncall 3 8\ncall 4 8\ncall 5 8\ncall 6 8\n"},
    };
    ExpectChildren(cases, std::size(cases));
}

TEST(ZYNSysLifeCycle, ModulesLoadByPlainShortNameFromTheProgramFolderAndUnloadOnlyTheirOwn) {
    const Case cases[] = {
        {"LifeCycleModulesBeforeAndAfterDispatch",
         "kernel32 0 1\nvtmodule before dispatch -1, loaded 0\nno out pointer -1\nload 0\nanswer 42\n"
         "missing function 0, no module 0, no name 0\nagain 0, same 1\nunload 0, cleared 1, loaded 0\n"
         "reload 0, loaded 1\n"},
        {"LifeCycleForeignModuleStays", "unload 0, kept 1, loaded 1\nnull handle 0, no pointer -1\n"},
        {"LifeCycleUnloadAndReloadKeepTheProgramsStructsOfTheRecord",
         "load 0\ninit 1\nunload 0\nreload 0\nstate 1 2\nstate 1 0\n"},
        {"LifeCycleStateChangeLoadsWhileAnotherThreadLoads",
         "init 1\ncallback load 0\ncallback function 1\nother load 0\n"},
        {"LifeCycleLateInitLoadsWhileAnotherThreadLoads", "callback load 0\ncallback function 1\nother load 0\n"},
        {"LifeCycleCheckedInitLoadsWhileAnotherThreadLoads", "callback load 0\ncallback function 1\nother load 0\n"},
        {"LifeCycleUnloadWaitsForADispatchsCallback", "init 1\nmapped during callback 1\nother unload 0\n"},
        {"LifeCycleFailedLoad",
         "init 1\nload 0\ninit 2\nmissing -1, cleared 1\ninit 3\nstate 1 4\nstate 3 4\nstate 2 4\nagain 0, same 1\n"},
        {"LifeCycleRefusedNames",
         "null -1\nname 0 -1 0\nname 1 -1 0\nname 2 -1 0\nname 3 -1 0\nname 4 -1 0\nname 5 -1 0\nname 6 -1 0\n"
         "null -1\nname 0 -1 0\nname 1 -1 0\nname 2 -1 0\nname 3 -1 0\nname 4 -1 0\nname 5 -1 0\nname 6 -1 0\n"
         "current-folder module loaded 0\n"},
    };
    ExpectChildren(cases, std::size(cases));
}

// A module built against a host's import library, loaded into that running host: it binds to the
// host's exports, sees its state, and its structs live and die with it.
TEST(ZYNSysLifeCycle, ModuleBuiltAgainstTheHostsImportLibraryUsesTheExportedInterface) {
    const Case cases[] = {
        {"probe",
         "dispatch 0\nprobe ordinary init 0\nprobe priority init 0\nload 0\n"
         "QORSysMTGlobalMutex lock 1 unlock 0\n"
         "QORMutex::LockF created 1 relocked 0\n"
         "WaitForMultipleEvents 1\n"
         "ZYNSysResizableSemaphore grown 0 max 5 wait 0 count 1\n"
         "ZYNSysTSDataQueue push 1 pop 1 same 1\n"
         "QORThreads run 0 return 42\n"
         "QORThreads::GetMainThread found\n"
         "context set 0 read Probe root Main\n"
         "ZYNSysListStr alpha beta count 2\n"
         "ZYNSysPtrHashTable init 0 added 2 again 0 found 1\n"
         "QORThrLibraryManager::GetFunctionAddress kernel32 GetTickCount matches\n"
         "ZYNSysTimerConvert 1 1 1 1 1 1 1\n"
         "imports bound to the host yes, registered 1\n"
         "QORSockets declared 0 connected 0 accepted 0 sent 0 \"ping\" back 0 \"pong!\" in the host yes\n"
         "unload 0\n"},
        // After the unload no dispatch may reach the probe's code.
        {"module",
         "host registered 0\nload before dispatch -1\nhost init 0\ndispatch 0\n"
         "probe ordinary init 0\nprobe priority init 0\nload 0\n"
         "probe priority state 7\nhost state 7\nprobe ordinary state 7\n"
         "probe priority call 8\nhost call 8\nprobe ordinary call 8\n"
         "unload 0\nhandle cleared 1\nprobe still mapped 0\nhost state 9\nhost call 10\nhost state 0\nend 0\n"},
        // Registered during a load that then failed: never reached again.
        {"refused",
         "host registered 0\nhost init 0\ndispatch 0\nfragile priority init 0\nfragile ordinary init 0\n"
         "refused load -1\nfragile mapped 0\nfragile priority init 0\nfragile ordinary init 0\nload 0\nunload 0\n"
         "fragile priority init 0\nfragile ordinary init 0\nrefused again -1\nfragile mapped 0\n"
         "host state 7\nhost call 8\nhost state 0\nend 0\n"},
        // The dependency's structs leave with the module; the record keeps its name through a nested load.
        {"nested",
         "dispatch 0\nfragile priority init 0\nfragile ordinary init 0\nnesting init 0\nnesting registered 0\n"
         "nested load 0\nload 0\nhost init 0\nhost registered 0\n"
         "fragile priority state 7\nfragile ordinary state 7\nnesting state 7\nhost state 7\n"
         "unload 0\nfragile mapped 0\nhost state 8\n"
         "fragile priority init 0\nfragile ordinary init 0\nnesting init 0\nnesting registered 0\nnested load 0\n"
         "reload 0\nfragile priority state 9\nfragile ordinary state 9\nnesting state 9\nhost state 9\n"
         "nesting state 0\nfragile ordinary state 0\nhost state 0\nfragile priority state 0\nend 0\n"},
        {"unfree",
         "dispatch 0\nfragile priority init 0\nfragile ordinary init 0\nload 0\nfailed unload -1\nhandle kept 1\n"
         "fragile priority state 7\nfragile ordinary state 7\nunload 0\nfragile mapped 0\nend 0\n"},
        // The other thread's struct stays with the program: later dispatches reach it.
        {"meanwhile",
         "dispatch 0\nfragile priority init 0\nfragile ordinary init 0\nhost init 0\nother registered 1\n"
         "refused load -1\nhost state 7\ncheck -1\nhost state 0\nend 0\n"},
    };
    const std::string relative = VAROMET_LIFECYCLE_HOST;
    std::wstring host = TestProgramFolder() + L"\\" + std::wstring(relative.begin(), relative.end());
    for (wchar_t& c : host)
        if (c == L'/') c = L'\\';
    for (const Case& c : cases) {
        const ChildProcess::Result child = ChildProcess::RunProgram(host, std::wstring(c.name, c.name + std::strlen(c.name)));
        ASSERT_TRUE(child.started) << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name;
        EXPECT_EQ(ChildProcess::TextOutput(child), c.expected) << c.name;
    }
}

}  // namespace
