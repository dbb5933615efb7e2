#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORThrLibraryManager.h"
#include "TestFolder.h"
#include "ZYNSysLoadModule.h"

namespace {

// The module built beside this program (testing/TestModule.cpp) and its one function.
constexpr char kModule[] = "vtmodule";
constexpr char kFunction[] = "VarometTestModuleAnswer";

// The build tree's paths are ASCII.
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A copy of the test module under another name, removed at the end.
class ModuleCopy {
public:
    ModuleCopy(const std::wstring& folder, const char* shortName)
        : path_(folder + L"\\" + std::wstring(shortName, shortName + std::strlen(shortName)) + L".dll"),
          made_(::CopyFileW((TestProgramFolder() + L"\\vtmodule.dll").c_str(), path_.c_str(), TRUE) != 0) {}
    ~ModuleCopy() {
        if (made_) ::DeleteFileW(path_.c_str());
    }
    ModuleCopy(const ModuleCopy&) = delete;
    ModuleCopy& operator=(const ModuleCopy&) = delete;
    bool Made() const { return made_; }

private:
    std::wstring path_;
    bool made_;
};

// The real loads, counted; the manager's loader while the object lives.
class CountingLoader : public QORThrLibraryLoader {
public:
    CountingLoader() { QORThrSetLibraryLoader(this); }
    ~CountingLoader() override { QORThrSetLibraryLoader(nullptr); }
    ZYNSysModuleHandle Load(const char* shortName) override {
        ++loads;
        return ZYNSysLoadFrameworkModule(shortName);
    }
    std::atomic<int> loads{0};
};

// How many functions the manager has cached, a private count: an explicit instantiation may
// name private members, and the friend it defines hands the address out.
int* CachedSymbolCount();
template <int* Count>
struct CachedSymbolCountAccess {
    friend int* CachedSymbolCount() { return Count; }
};
template struct CachedSymbolCountAccess<&QORThrLibraryManager::_nbSymbols>;

const char* Loaded(HINSTANCE module) { return module ? "loaded" : "not loaded"; }

const char* InProcess(const char* file) { return ::GetModuleHandleA(file) ? "still loaded" : "unloaded"; }

template <typename Done>
void WaitUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

// Every load waits inside the loader until all threads have loaded: they all race to the cache.
class GatedLoader final : public CountingLoader {
public:
    explicit GatedLoader(int threads) : threads_(threads) {}
    ZYNSysModuleHandle Load(const char* shortName) override {
        ZYNSysModuleHandle loaded = CountingLoader::Load(shortName);
        WaitUntil([this] { return loads.load() >= threads_; });
        return loaded;
    }

private:
    const int threads_;
};

// The first load fails, but only after a second thread has loaded the module and cached it.
class FailingFirstLoader final : public CountingLoader {
public:
    ZYNSysModuleHandle Load(const char* shortName) override {
        if (++loads > 1) return ZYNSysLoadFrameworkModule(shortName);
        firstInside = true;
        WaitUntil([this] { return secondDone.load(); });
        return ZYNSysModuleHandle();
    }
    std::atomic<bool> firstInside{false};
    std::atomic<bool> secondDone{false};
};

void LookUpAtExit(const char* when) {
    const HINSTANCE user32 = QORThrLibraryManager::LoadLibraryW("user32");
    const QORThrLibraryHandler tick = QORThrLibraryManager::GetFunctionAddress("kernel32", "GetTickCount");
    std::printf("%s: user32 %s, GetTickCount %s\n", when, Loaded(user32),
                tick.address && tick.module ? "resolved afresh" : tick.address ? "cached" : "missing");
    std::fflush(stdout);
}

// Registered before the manager's clean-up at exit, so it runs after it.
void LookUpAfterTheCleanUp() { LookUpAtExit("after the clean-up"); }

// Built before any ordinary static, the manager's included, so destroyed after all of them.
struct LastLookUp {
    ~LastLookUp() {
        if (!armed) return;
        LookUpAtExit("after the statics");
        // A module not cached yet goes through the loader, which must outlive every static.
        std::printf("a new module after the statics: %s\n", Loaded(QORThrLibraryManager::LoadLibraryW("version")));
        std::fflush(stdout);
    }
    bool armed = false;
};
LastLookUp g_lastLookUp __attribute__((init_priority(101)));

}  // namespace

VAROMET_CHILD_CASE(ResolveTwiceThenFreeOnce) {
    CountingLoader loader;
    const QORThrLibraryHandler first = QORThrLibraryManager::GetFunctionAddress(kModule, kFunction);
    const QORThrLibraryHandler second = QORThrLibraryManager::GetFunctionAddress(kModule, kFunction);
    const QORThrLibraryHandler noFunction = QORThrLibraryManager::GetFunctionAddress(kModule, nullptr);
    const QORThrLibraryHandler unknown = QORThrLibraryManager::GetFunctionAddress(kModule, "NoSuchFunction");
    const bool module = first.module && first.module == ::GetModuleHandleA("vtmodule.dll");
    std::printf("first: %d, %s\n", first.address ? reinterpret_cast<int (*)()>(first.address)() : 0,
                module ? "module" : "no module");
    std::printf("second: %s, %s\n", second.address == first.address ? "same address" : "other address",
                second.module ? "module" : "no module");
    std::printf("no or unknown function: %s %s\n", Loaded(noFunction.address ? nullptr : noFunction.module),
                Loaded(unknown.address ? nullptr : unknown.module));
    std::printf("loads: %d\n", loader.loads.load());
    ::FreeLibrary(first.module);
    std::printf("after one FreeLibrary: %s\n", InProcess("vtmodule.dll"));
    return 0;
}

VAROMET_CHILD_CASE(MissingModuleThenCopied) {
    CountingLoader loader;
    const std::string name = "vtlate" + std::to_string(::GetCurrentProcessId());
    const HINSTANCE before = QORThrLibraryManager::LoadLibraryW(name.c_str());
    ModuleCopy copy(TestProgramFolder(), name.c_str());
    const HINSTANCE after = QORThrLibraryManager::LoadLibraryW(name.c_str());
    // The copy itself loads: only the cached failure keeps it out.
    const ZYNSysModuleHandle direct = ZYNSysLoadFrameworkModule(name.c_str());
    std::printf("before: %s, after: %s, loads: %d, the copy: %s\n", Loaded(before), Loaded(after),
                loader.loads.load(), Loaded(copy.Made() ? direct.Get() : nullptr));
    return 0;
}

VAROMET_CHILD_CASE(ElevenSystemModules) {
    static const char* const kNames[] = {"version", "kernel32", "user32", "advapi32", "gdi32", "shell32",
                                         "ole32",   "oleaut32", "ws2_32", "shlwapi",  "comctl32"};
    CountingLoader loader;
    std::vector<HINSTANCE> handles;
    int found = 0, again = 0;
    for (const char* name : kNames) {
        handles.push_back(QORThrLibraryManager::LoadLibraryW(name));
        found += handles.back() && handles.back() == ::GetModuleHandleA((std::string(name) + ".dll").c_str());
    }
    // Backwards, after the cache grew past its first ten entries.
    for (std::size_t i = std::size(kNames); i-- > 0;) again += QORThrLibraryManager::LoadLibraryW(kNames[i]) == handles[i];
    std::printf("found: %d, again: %d, loads: %d\n", found, again, loader.loads.load());
    return 0;
}

VAROMET_CHILD_CASE(SixteenThreadsResolveOneSymbol) {
    constexpr int kThreads = 16;
    GatedLoader loader(kThreads);
    std::vector<void*> addresses(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] { addresses[i] = QORThrLibraryManager::GetFunctionAddress(kModule, kFunction).address; });
    for (std::thread& thread : threads) thread.join();
    int agreeing = 0;
    for (void* address : addresses) agreeing += address && address == addresses[0];
    ::FreeLibrary(QORThrLibraryManager::LoadLibraryW(kModule));
    std::printf("agreeing: %d, loads: %d, cached functions: %d, after one FreeLibrary: %s\n", agreeing,
                loader.loads.load(), *CachedSymbolCount(), InProcess("vtmodule.dll"));
    return 0;
}

VAROMET_CHILD_CASE(FailingLoaderFinishesLast) {
    FailingFirstLoader loader;
    HINSTANCE first = nullptr;
    std::thread firstLoader([&] { first = QORThrLibraryManager::LoadLibraryW(kModule); });
    WaitUntil([&] { return loader.firstInside.load(); });
    const HINSTANCE second = QORThrLibraryManager::LoadLibraryW(kModule);
    loader.secondDone = true;
    firstLoader.join();
    std::printf("first: %s, second: %s, afterwards: %s\n", Loaded(first), Loaded(second),
                Loaded(QORThrLibraryManager::LoadLibraryW(kModule)));
    return 0;
}

VAROMET_CHILD_CASE(NullModuleNames) {
    CountingLoader loader;
    // A cached function that a NULL module name must not match.
    QORThrLibraryManager::GetFunctionAddress("kernel32", "GetTickCount");
    const QORThrLibraryHandler withFunction = QORThrLibraryManager::GetFunctionAddress(nullptr, "GetTickCount");
    const QORThrLibraryHandler withNothing = QORThrLibraryManager::GetFunctionAddress(nullptr, nullptr);
    const bool nothing = !QORThrLibraryManager::LoadLibraryW(nullptr) && !withFunction.address &&
                         !withFunction.module && !withNothing.address && !withNothing.module;
    const HINSTANCE kernel32 = QORThrLibraryManager::LoadLibraryW("kernel32");
    std::printf("null names: %s, kernel32: %s, loads: %d\n", nothing ? "nothing" : "something",
                kernel32 == ::GetModuleHandleA("kernel32.dll") ? "found" : "lost", loader.loads.load());
    return 0;
}

VAROMET_CHILD_CASE(LookUpsAtExit) {
    std::atexit(&LookUpAfterTheCleanUp);
    g_lastLookUp.armed = true;
    const QORThrLibraryHandler tick = QORThrLibraryManager::GetFunctionAddress("kernel32", "GetTickCount");
    std::printf("before the exit: %s\n", tick.address ? "resolved" : "missing");
    return 0;
}

VAROMET_CHILD_CASE(PlantedModules) {
    TestFolder folder;
    wchar_t oldFolder[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, oldFolder);
    std::wstring oldPath(32767, L'\0');
    oldPath.resize(::GetEnvironmentVariableW(L"PATH", oldPath.data(), static_cast<DWORD>(oldPath.size())));
    for (const char* name : {"vtcurrent", "vtpath"}) {
        ModuleCopy copy(folder.Path(), name);
        if (std::string(name) == "vtpath")
            ::SetEnvironmentVariableW(L"PATH", (folder.Path() + L";" + oldPath).c_str());
        else
            ::SetCurrentDirectoryW(folder.Path().c_str());
        const HINSTANCE managed = QORThrLibraryManager::LoadLibraryW(name);
        // Only after the manager's attempt: a module already in the process is found by name.
        ZYNSysModuleHandle plain(::LoadLibraryA((std::string(name) + ".dll").c_str()));
        std::printf("%s: %s, the plain search: %s\n", name, Loaded(managed), Loaded(plain.Get()));
        plain.Reset();
        ::SetCurrentDirectoryW(oldFolder);
        ::SetEnvironmentVariableW(L"PATH", oldPath.c_str());
    }
    return 0;
}

// Each case runs in a fresh process: the caches are process-wide. Its child prints what it saw.
TEST(QORThrLibraryManager, CachesEachModuleOnceWithOneReferenceAndLoadsOnlyFromSafeFolders) {
    struct Case {
        const char* child;
        const char* expected;
    };
    const Case cases[] = {
        {"ResolveTwiceThenFreeOnce",
         "first: 42, module\nsecond: same address, no module\nno or unknown function: loaded loaded\nloads: 1\n"
         "after one FreeLibrary: unloaded\n"},
        {"MissingModuleThenCopied", "before: not loaded, after: not loaded, loads: 1, the copy: loaded\n"},
        {"ElevenSystemModules", "found: 11, again: 11, loads: 11\n"},
        {"SixteenThreadsResolveOneSymbol",
         "agreeing: 16, loads: 16, cached functions: 1, after one FreeLibrary: unloaded\n"},
        {"FailingLoaderFinishesLast", "first: loaded, second: loaded, afterwards: loaded\n"},
        {"NullModuleNames", "null names: nothing, kernel32: found, loads: 1\n"},
        {"LookUpsAtExit",
         "before the exit: resolved\nafter the clean-up: user32 loaded, GetTickCount resolved afresh\n"
         "after the statics: user32 loaded, GetTickCount cached\na new module after the statics: loaded\n"},
        {"PlantedModules", "vtcurrent: not loaded, the plain search: loaded\nvtpath: not loaded, the plain search: loaded\n"},
    };
    for (const Case& c : cases) {
        ChildProcess::Result child = ChildProcess::Run(c.child);
        std::erase(child.output, '\r');  // the child's stdout is in text mode
        ASSERT_TRUE(child.started) << c.child << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.child << ": " << child.output;
        EXPECT_EQ(child.output, c.expected) << c.child;
    }
}

TEST(ZYNSysLoadFrameworkModule, NamesThatAreNotShortAreRefused) {
    TestFolder folder;
    ModuleCopy copy(folder.Path(), "vtabsolute");
    ASSERT_TRUE(copy.Made());
    const std::string absolute = Narrow(folder.In(L"vtabsolute"));
    std::string forward = absolute;
    std::replace(forward.begin(), forward.end(), '\\', '/');
    struct Case {
        const char* label;
        std::string name;
        DWORD error;  // 0: loads
    };
    const Case cases[] = {
        {"short name", kModule, 0},
        {"empty", "", ERROR_INVALID_NAME},
        {"absolute path", absolute, ERROR_INVALID_NAME},
        {"absolute path with slashes", forward, ERROR_INVALID_NAME},
        {"drive-relative", "C:vtmodule", ERROR_INVALID_NAME},
        {"relative path", "sub/vtmodule", ERROR_INVALID_NAME},
        {"too long", std::string(MAX_PATH, 'v'), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Case& c : cases) {
        ::SetLastError(0);
        const ZYNSysModuleHandle module = ZYNSysLoadFrameworkModule(c.name.c_str());
        const DWORD error = ::GetLastError();
        EXPECT_EQ(module.IsValid(), c.error == 0) << c.label << ": error " << error;
        if (c.error == 0) continue;
        EXPECT_EQ(error, c.error) << c.label;
        EXPECT_EQ(QORThrLibraryManager::LoadLibraryW(c.name.c_str()), nullptr) << c.label;
    }
    EXPECT_FALSE(ZYNSysLoadFrameworkModule(nullptr).IsValid());
}
