#include "ZYNSysLifeCycle.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "QORMutex.h"
#include "ZYNSysContext.h"
#include "ZYNSysLoadModule.h"
#include "ZYNSysModuleFreer.h"
#include "ZYNSysModuleHandle.h"
#include "ZYNSysNLS.h"
#include "ZYNSysWin.h"

// Lock order: the loader mutex, the system's loader lock (a module's initialisers register while
// it loads), then the registry mutex. The registry mutex guards the lists only: it is never held
// across a callback, a load or a free. A dispatch holds the loader mutex across its walk, so no
// module is freed under it and a load or unload of another thread waits for its end; its callbacks
// may load, unload and register, as the mutexes are recursive. The init that a registration or a
// check runs at once holds neither mutex (only what its caller holds, such as a load's).

namespace {

constexpr std::uint16_t kPriorityThreshold = ZYNSysLifeCyclePriorThreshold;
constexpr std::uint16_t kLanguageSettingsPriority = 40970;
constexpr std::uint16_t kContextManagerPriority = 40963;
constexpr char kSuffix[] = ".dll";

struct ModuleRecord;

// The registry's copy of a struct. Walks run over a snapshot of shared entries, so a callback
// may register or unload while a dispatch runs; an unloaded module's entries are marked dropped
// and skipped by any walk that still holds them.
struct Entry {
    ZYNSysLifeCycleStruct callbacks{};
    bool dropped = false;
    // The record whose load filed it (its module's initialisers or a dependency's), else NULL.
    const ModuleRecord* loadedWith = nullptr;
};
using EntryRef = std::shared_ptr<Entry>;
using EntryList = std::vector<EntryRef>;

struct ModuleRecord {
    std::string name;  // "<name>.dll"; empty until the load succeeded
    ZYNSysModuleHandle module;
    EntryList entries;  // registration order
};

struct Registry {
    QORMutex mutex{0, 1, 0};
    std::int32_t state = -1;
    ModuleRecord* current = nullptr;
    // The record whose LoadLibrary runs on that thread (the innermost one when loads nest).
    const ModuleRecord* loading = nullptr;
    DWORD loadingThread = 0;
    EntryList priority;  // ascending, equal priorities in registration order
    ModuleRecord main;
    std::vector<std::unique_ptr<ModuleRecord>> modules;  // load order
    // Pruned entries, callbacks cleared: a pointer that registration answered stays readable, so
    // the check of one answers -1 instead of reading freed memory. A few per unload.
    EntryList retired;
    void* argument = nullptr;
    // Set when the initialisation walk starts: a struct registered from then on, also by a callback
    // of that walk, is initialised at once.
    bool initialising = false;
};

struct Loader {
    QORMutex mutex{0, 1, 0};
    std::unique_ptr<char[]> file;
    std::size_t capacity = 0;

    // "<name>.dll" into the buffer, grown when too small; false when memory is short.
    bool Format(const char* name, std::size_t length) {
        if (capacity < length + sizeof kSuffix) {
            std::unique_ptr<char[]> grown(new (std::nothrow) char[length + 7]);
            if (!grown) return false;
            file = std::move(grown);
            capacity = length + 7;
        }
        std::memcpy(file.get(), name, length);
        std::memcpy(file.get() + length, kSuffix, sizeof kSuffix);
        return true;
    }
};

std::atomic<bool> g_initialisationDispatched{false};

template <typename Argument>
void Guarded(void (*callback)(Argument), Argument argument) noexcept {
    try {
        callback(argument);
    } catch (...) {
        // A callback's exception ends with it: it must not cross the framework interface.
    }
}

template <typename Argument>
using Callback = void (*)(Argument);

void LanguageSettingsInit(void*) { ZYNSysNLS::EnsureInitializedEntry(); }
void NothingToDo(int) {}
void ContextManagerInit(void*) { ZYNSysGetContextManager(); }
void ContextManagerCall(int) { ZYNSysGetContextManager(); }

EntryRef MakeEntry(std::uint16_t priority, void (*init)(void*), void (*stateChange)(int),
                   void (*systemCall)(int)) {
    auto entry = std::make_shared<Entry>();
    entry->callbacks = {priority, init, stateChange, systemCall};
    return entry;
}

// Priority structs by priority; ordinary ones under the module being loaded, else the program.
void File(Registry& registry, const EntryRef& entry) {
    // Only the loading thread runs the module's initialisers: another thread's struct is not its.
    if (registry.loading && registry.loadingThread == ::GetCurrentThreadId()) entry->loadedWith = registry.loading;
    if (entry->callbacks.priority >= kPriorityThreshold) {
        const auto at = std::upper_bound(registry.priority.begin(), registry.priority.end(), entry,
                                         [](const EntryRef& a, const EntryRef& b) {
                                             return a->callbacks.priority < b->callbacks.priority;
                                         });
        registry.priority.insert(at, entry);
    } else {
        (registry.current ? registry.current : &registry.main)->entries.push_back(entry);
    }
}

// Made on first use, with the program's two start-up registrations, and kept to the end of the
// process: dispatches may come from other statics' destructors.
Registry* TheRegistry() {
    static Registry* const made = []() -> Registry* {
        try {
            auto registry = std::make_unique<Registry>();
            File(*registry, MakeEntry(kLanguageSettingsPriority, &LanguageSettingsInit, &NothingToDo, &NothingToDo));
            File(*registry, MakeEntry(kContextManagerPriority, &ContextManagerInit, &ContextManagerCall,
                                      &ContextManagerCall));
            return registry.release();
        } catch (...) {
            return nullptr;
        }
    }();
    return made;
}

// Kept to the end of the process for the same reason.
Loader* TheLoader() {
    static Loader* const made = new (std::nothrow) Loader;
    return made;
}

// The length of a plain short name: not empty, shorter than a path, no '\', '/' or ':'; 0 for
// anything else. One pass: this runs before every look-up.
std::size_t PlainNameLength(const char* name) {
    if (!name) return 0;
    std::size_t length = 0;
    for (; name[length]; ++length) {
        const char c = name[length];
        if (c == '\\' || c == '/' || c == ':' || length >= MAX_PATH) return 0;
    }
    return length;
}

// Every entry in the walk order of state changes and system calls.
EntryList ForwardWalk(const Registry& registry) {
    EntryList walk(registry.priority);
    walk.insert(walk.end(), registry.main.entries.begin(), registry.main.entries.end());
    for (const auto& record : registry.modules)
        walk.insert(walk.end(), record->entries.begin(), record->entries.end());
    return walk;
}

bool LiesIn(const void* address, const char* base, std::size_t size) {
    const char* at = static_cast<const char*>(address);
    return address && at >= base && at < base + size;
}

struct Image {
    const char* base = nullptr;
    std::size_t size = 0;

    explicit Image(HMODULE module) : base(reinterpret_cast<const char*>(module)) {
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        size = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew)->OptionalHeader.SizeOfImage;
    }
    bool Holds(const void* address) const { return LiesIn(address, base, size); }
};

template <typename Test>
bool AnyCallback(const ZYNSysLifeCycleStruct& c, Test test) {
    return test(reinterpret_cast<const void*>(c.init)) || test(reinterpret_cast<const void*>(c.stateChange)) ||
           test(reinterpret_cast<const void*>(c.systemCall));
}

template <typename Visit>
void ForEachList(Registry& registry, Visit visit) {
    visit(registry.priority);
    visit(registry.main.entries);
    for (auto& record : registry.modules) visit(record->entries);
}

// Marks the entries the test picks dropped, where they stand: walks skip them from now on. Only
// the loader's thread marks, and it prunes or restores them before it lets the loader mutex go.
template <typename Test>
void MarkDropped(Registry& registry, Test test) {
    ForEachList(registry, [&](EntryList& list) {
        for (const EntryRef& entry : list)
            if (test(*entry)) entry->dropped = true;
    });
}

void PruneDropped(Registry& registry) {
    ForEachList(registry, [&](EntryList& list) {
        const auto kept =
            std::stable_partition(list.begin(), list.end(), [](const EntryRef& entry) { return !entry->dropped; });
        for (auto at = kept; at != list.end(); ++at) {
            (*at)->callbacks = {(*at)->callbacks.priority, nullptr, nullptr, nullptr};
            try {
                registry.retired.push_back(*at);
            } catch (...) {
                // Short of memory: the entry is freed with the list's reference.
            }
        }
        list.erase(kept, list.end());
    });
}

void RestoreDropped(Registry& registry) {
    ForEachList(registry, [](EntryList& list) {
        for (const EntryRef& entry : list) entry->dropped = false;
    });
}

// The structs with a callback inside the module's image, and those its load filed (a dependency's)
// with a callback outside the program's: the dependency may leave with it.
void MarkModuleEntries(Registry& registry, const ModuleRecord& record) {
    const Image module(record.module.Get());
    const Image program(::GetModuleHandleW(nullptr));
    MarkDropped(registry, [&](const Entry& entry) {
        const auto inModule = [&](const void* address) { return module.Holds(address); };
        const auto outsideProgram = [&](const void* address) { return address && !program.Holds(address); };
        return AnyCallback(entry.callbacks, inModule) ||
               (entry.loadedWith == &record && AnyCallback(entry.callbacks, outsideProgram));
    });
}

// After the module left: the program's structs its load filed are no longer counted as its.
void ForgetLoadedWith(Registry& registry, const ModuleRecord& record) {
    ForEachList(registry, [&](EntryList& list) {
        for (const EntryRef& entry : list)
            if (entry->loadedWith == &record) entry->loadedWith = nullptr;
    });
}

// Marks the record whose LoadLibrary runs on this thread, for the length of that call; a nested
// load marks its own and gives the outer one back.
class LoadingMark {
public:
    LoadingMark(Registry& registry, const ModuleRecord* record) : registry_(registry) {
        QORMutexHold hold(registry_.mutex);
        outer_ = registry_.loading;
        outerThread_ = registry_.loadingThread;
        registry_.loading = record;
        registry_.loadingThread = ::GetCurrentThreadId();
    }
    ~LoadingMark() {
        QORMutexHold hold(registry_.mutex);
        registry_.loading = outer_;
        registry_.loadingThread = outerThread_;
    }
    LoadingMark(const LoadingMark&) = delete;
    LoadingMark& operator=(const LoadingMark&) = delete;

private:
    Registry& registry_;
    const ModuleRecord* outer_ = nullptr;
    DWORD outerThread_ = 0;
};

// Held across a walk, when the loader exists: no module leaves while its callbacks may run.
class WalkHold {
public:
    WalkHold() {
        if (Loader* loader = TheLoader()) hold_.emplace(loader->mutex);
    }

private:
    std::optional<QORMutexHold> hold_;
};

// One step of a walk: the callback is read, and a one-shot one cleared, under the registry mutex;
// it runs without it. A one-shot call clears first, so a callback that re-enters sees it gone.
template <typename Argument>
void Step(Registry& registry, const EntryRef& entry, Callback<Argument> ZYNSysLifeCycleStruct::*slot,
          Argument argument, bool once) {
    Callback<Argument> callback = nullptr;
    {
        QORMutexHold hold(registry.mutex);
        if (entry->dropped) return;
        callback = entry->callbacks.*slot;
        if (once) entry->callbacks.*slot = nullptr;
    }
    if (callback) Guarded(callback, argument);
}

void DispatchCall(Callback<int> ZYNSysLifeCycleStruct::*slot, int value) {
    try {
        Registry* registry = TheRegistry();
        if (!registry) return;
        const WalkHold walking;
        EntryList walk;
        {
            QORMutexHold hold(registry->mutex);
            walk = ForwardWalk(*registry);
        }
        for (const EntryRef& entry : walk) Step(*registry, entry, slot, value, false);
    } catch (...) {
    }
}

}  // namespace

int ZYNSysLifeCycleGlobalFactory(void (*init)(void*), void (*stateChange)(int), void (*systemCall)(int)) {
    return ZYNSysLifeCycleGlobalFactoryInternal(nullptr, init, stateChange, systemCall, 0) ? 0 : -1;
}

int ZYNSysLifeCycleGlobalFactoryPrivate(ZYNSysLifeCyclePriorFlag priority, void (*init)(void*),
                                        void (*stateChange)(int), void (*systemCall)(int)) {
    return ZYNSysLifeCycleGlobalFactoryInternal(nullptr, init, stateChange, systemCall,
                                                static_cast<std::uint16_t>(priority))
               ? 0
               : -1;
}

ZYNSysLifeCycleStruct* ZYNSysLifeCycleGlobalFactoryInternal(const char*, void (*init)(void*),
                                                          void (*stateChange)(int), void (*systemCall)(int),
                                                          std::uint16_t priority) {
    if (!init) return nullptr;
    try {
        Registry* registry = TheRegistry();
        if (!registry) return nullptr;
        EntryRef entry = MakeEntry(priority, init, stateChange, systemCall);
        bool atOnce = false;
        void* argument = nullptr;
        {
            QORMutexHold hold(registry->mutex);
            File(*registry, entry);
            atOnce = registry->initialising;
            argument = registry->argument;
        }
        if (atOnce) Step(*registry, entry, &ZYNSysLifeCycleStruct::init, argument, true);
        return &entry->callbacks;
    } catch (...) {
        return nullptr;
    }
}

int ZYNSysLifeCycleGlobalFactoryInternalCheck(ZYNSysLifeCycleStruct* lifeCycle) {
    try {
        Registry* registry = TheRegistry();
        if (!registry || !lifeCycle) return -1;
        Callback<void*> init = nullptr;
        {
            QORMutexHold hold(registry->mutex);
            // The registry's copy or the caller's own struct: the caller passed it either way.
            init = lifeCycle->init;
            lifeCycle->init = nullptr;
        }
        if (!init) return -1;
        Guarded(init, static_cast<void*>(nullptr));
        return 0;
    } catch (...) {
        return -1;
    }
}

int ZYNSysLifeCycleDispatchInitialization() { return ZYNSysLifeCycleDispatchInitializationEx(nullptr); }

int ZYNSysLifeCycleDispatchInitializationEx(void* argument) {
    // Set first: two threads dispatching at once still initialise once.
    if (g_initialisationDispatched.exchange(true)) return -1;
    Registry* registry = TheRegistry();
    if (!registry) return 0;
    const WalkHold walking;
    EntryList walk;
    {
        QORMutexHold hold(registry->mutex);
        try {
            walk = registry->priority;
            walk.insert(walk.end(), registry->main.entries.begin(), registry->main.entries.end());
        } catch (...) {
            // Nothing ran and nothing changed: a later dispatch may try again.
            g_initialisationDispatched = false;
            return -1;
        }
        registry->argument = argument;
        registry->initialising = true;
    }
    // init stays set here: only the one-shot calls clear it.
    for (const EntryRef& entry : walk) Step(*registry, entry, &ZYNSysLifeCycleStruct::init, argument, false);
    QORMutexHold hold(registry->mutex);
    registry->state = 0;
    return 0;
}

void ZYNSysLifeCycleDispatchStateChange(int state) { DispatchCall(&ZYNSysLifeCycleStruct::stateChange, state); }

void ZYNSysLifeCycleDispatchSystemCall(int call) { DispatchCall(&ZYNSysLifeCycleStruct::systemCall, call); }

void ZYNSysLifeCycleDispatchFinalization() {
    try {
        Registry* registry = TheRegistry();
        if (!registry) return;
        const WalkHold walking;
        EntryList walk;
        {
            QORMutexHold hold(registry->mutex);
            registry->state = -1;
            for (const auto& record : registry->modules)
                walk.insert(walk.end(), record->entries.rbegin(), record->entries.rend());
            walk.insert(walk.end(), registry->main.entries.rbegin(), registry->main.entries.rend());
            walk.insert(walk.end(), registry->priority.rbegin(), registry->priority.rend());
        }
        for (const EntryRef& entry : walk) Step(*registry, entry, &ZYNSysLifeCycleStruct::stateChange, 0, true);
    } catch (...) {
    }
}

int ZYNSysLifeCycleDynamicLoad(const char* name, void** module) {
    try {
        // Refused before the look-up of loaded modules, so no path ever reaches the system.
        const std::size_t length = PlainNameLength(name);
        if (!length) return -1;
        Loader* loader = TheLoader();
        if (!loader) return -1;
        QORMutexHold loading(loader->mutex);
        if (!loader->Format(name, length)) return -1;
        if (module) {
            if (HMODULE loaded = ::GetModuleHandleA(loader->file.get())) {
                *module = loaded;
                return 0;
            }
        }
        Registry* registry = TheRegistry();
        if (!registry) return -1;
        ModuleRecord* record = nullptr;
        bool added = false;
        {
            QORMutexHold hold(registry->mutex);
            registry->current = nullptr;
            if (registry->state < 0 || !module) return -1;
            *module = nullptr;
            for (const auto& known : registry->modules)
                if (known->name == loader->file.get()) record = known.get();
            if (record && record->module) {
                registry->current = record;
                *module = record->module.Get();
                return 0;
            }
            // A record freed earlier is reused as it stands: its unload already dropped the module's
            // structs, and what it kept (the program's, filed while it was current) stays.
            if (!record) {
                registry->modules.push_back(std::make_unique<ModuleRecord>());
                record = registry->modules.back().get();
                added = true;
            }
            registry->current = record;
        }
        // Copied first: a load nested in this one reformats the loader's buffer.
        std::string file(loader->file.get());
        // Its initialisers register into the current record meanwhile, tagged with it.
        ZYNSysModuleHandle loaded;
        {
            const LoadingMark mark(*registry, record);
            loaded = ZYNSysLoadFrameworkModule(name);
        }
        EntryList entries;
        void* argument = nullptr;
        {
            QORMutexHold hold(registry->mutex);
            if (!loaded) {
                // Nothing of the failed load stays listed or current: its structs point into unmapped code.
                MarkDropped(*registry, [record](const Entry& entry) { return entry.loadedWith == record; });
                PruneDropped(*registry);
                if (registry->current == record) registry->current = nullptr;
                if (added) {
                    // What stays is other threads' (untagged): the program's, as with no load under way.
                    auto& main = registry->main.entries;
                    main.insert(main.end(), record->entries.begin(), record->entries.end());
                    auto& modules = registry->modules;
                    modules.erase(std::remove_if(modules.begin(), modules.end(),
                                                 [record](const auto& known) { return known.get() == record; }),
                                  modules.end());
                }
                return -1;
            }
            record->name = std::move(file);
            *module = loaded.Get();
            record->module = std::move(loaded);
            entries = record->entries;
            argument = registry->argument;
        }
        for (const EntryRef& entry : entries) Step(*registry, entry, &ZYNSysLifeCycleStruct::init, argument, true);
        return 0;
    } catch (...) {
        return -1;
    }
}

void* ZYNSysLifeCycleDynamicGetFunction(void* module, const char* function) {
    if (!module || !function) return nullptr;
    Loader* loader = TheLoader();
    if (!loader) return nullptr;
    QORMutexHold hold(loader->mutex);
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), function));
}

int ZYNSysLifeCycleDynamicUnload(void** module) {
    try {
        Loader* loader = TheLoader();
        if (!loader || !module) return -1;
        QORMutexHold unloading(loader->mutex);
        Registry* registry = TheRegistry();
        if (!registry || !*module) return 0;
        HMODULE freeing = nullptr;
        ModuleRecord* record = nullptr;
        {
            QORMutexHold hold(registry->mutex);
            for (const auto& known : registry->modules)
                if (known->module && known->module.Get() == *module) record = known.get();
            if (!record) return 0;
            // Marked before the free: no dispatch from another thread may reach the unmapped code.
            MarkModuleEntries(*registry, *record);
            freeing = record->module.Take();
        }
        const bool freed = ZYNSysFreeModule(freeing);
        QORMutexHold hold(registry->mutex);
        if (!freed) {
            // Still loaded: its structs stay where they were.
            RestoreDropped(*registry);
            record->module.Reset(freeing);
            return -1;
        }
        PruneDropped(*registry);
        ForgetLoadedWith(*registry, *record);
        *module = nullptr;
        return 0;
    } catch (...) {
        return -1;
    }
}
