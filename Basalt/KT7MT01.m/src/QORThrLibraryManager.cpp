#include "QORThrLibraryManager.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ZYNDebugBreak.h"
#include "ZYNSysLoadModule.h"

namespace {

constexpr int kGrowth = 10;

class FrameworkLoader final : public QORThrLibraryLoader {
public:
    ZYNSysModuleHandle Load(const char* shortName) override { return ZYNSysLoadFrameworkModule(shortName); }
};

// Never destroyed: look-ups may still come from other statics' destructors at exit.
QORThrLibraryLoader& DefaultLoader() {
    alignas(FrameworkLoader) static unsigned char storage[sizeof(FrameworkLoader)];
    static FrameworkLoader* const loader = new (storage) FrameworkLoader();
    return *loader;
}

std::atomic<QORThrLibraryLoader*> g_loader{nullptr};

QORThrLibraryLoader& Loader() {
    QORThrLibraryLoader* loader = g_loader.load();
    return loader ? *loader : DefaultLoader();
}

class Hold {
public:
    explicit Hold(QORMutex& mutex) : mutex_(mutex) { (mutex_.*QORMutex::LockF)(); }
    ~Hold() { (mutex_.*QORMutex::UnlockF)(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    QORMutex& mutex_;
};

// Byte-wise, like strcmp; a NULL operand compares equal.
int CompareNames(const char* a, const char* b) { return a && b ? std::strcmp(a, b) : 0; }

std::unique_ptr<char[]> Duplicate(const char* text) {
    const std::size_t size = std::strlen(text) + 1;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[size]);
    if (copy) std::memcpy(copy.get(), text, size);
    return copy;
}

// Room for one more entry: a full array (its count a multiple of the step) is replaced by one
// a step larger. False when memory is short.
template <typename Entry>
bool MakeRoom(Entry*& entries, int count) {
    if (count % kGrowth != 0) return true;
    std::unique_ptr<Entry[]> grown(new (std::nothrow) Entry[count + kGrowth]);
    if (!grown) return false;
    std::move(entries, entries + count, grown.get());
    delete[] entries;
    entries = grown.release();
    return true;
}

}  // namespace

QORThrLoadedLib* QORThrLibraryManager::_loadedLibraries = nullptr;
int QORThrLibraryManager::_nbLibs = 0;
QORThrFoundSymbol* QORThrLibraryManager::_foundSymbols = nullptr;
int QORThrLibraryManager::_nbSymbols = 0;
QORSmartMutex QORThrLibraryManager::_MutexThrLib(0);

void QORThrSetLibraryLoader(QORThrLibraryLoader* loader) { g_loader.store(loader); }

HINSTANCE QORThrLibraryManager::LoadLibraryW(const char* name) {
    // A NULL name would be cached under a key that equals every other and spoil the search.
    if (!name) return nullptr;
    HINSTANCE cached = nullptr;
    QORThrLoadedLib* entry = nullptr;
    {
        Hold hold(_MutexThrLib);
        if (_QueryLoadedLib(name, cached, entry)) return cached;
    }

    // Outside the mutex: a module's initialisers may take their time or look up modules too.
    ZYNSysModuleHandle loaded = Loader().Load(name);
    if (!loaded) ZYNDebugBreak(0);

    Hold hold(_MutexThrLib);
    if (_QueryLoadedLib(name, cached, entry)) {
        // Another thread cached the name meanwhile. A loaded module is never hidden behind a
        // failed load, and this load's extra reference goes back when `loaded` does.
        if (!cached) cached = entry->handle = loaded.Take();
        return cached;
    }
    // Cached modules stay loaded for the life of the process: the cache keeps this reference.
    const HINSTANCE handle = loaded.Take();
    _AddLoadedLib(name, handle);
    return handle;
}

QORThrLibraryHandler QORThrLibraryManager::GetFunctionAddress(const char* module, const char* function) {
    QORThrLibraryHandler result{nullptr, nullptr};
    if (!module) return result;
    if (function) {
        if (void* cached = _QueryFoundSymbol(module, function)) {
            result.address = cached;
            return result;
        }
    }
    result.module = LoadLibraryW(module);
    if (!result.module || !function) return result;
    result.address = _FindSymbolInLibrary(function, result.module);
    if (result.address) _AddFoundSymbol(module, function, result.address);
    return result;
}

void QORThrLibraryManager::_AddLoadedLib(const char* name, HINSTANCE handle) {
    if (!name) return;
    std::unique_ptr<char[]> copy = Duplicate(name);
    if (!copy || !MakeRoom(_loadedLibraries, _nbLibs)) return;
    _loadedLibraries[_nbLibs].name = std::move(copy);
    _loadedLibraries[_nbLibs].handle = handle;
    ++_nbLibs;
    std::sort(_loadedLibraries, _loadedLibraries + _nbLibs,
              [](const QORThrLoadedLib& a, const QORThrLoadedLib& b) { return _CompareLib(&a, &b) < 0; });
    static bool cleanupRegistered = false;
    if (!cleanupRegistered) {
        cleanupRegistered = true;
        std::atexit(&_Cleanup);
    }
}

void QORThrLibraryManager::_AddFoundSymbol(const char* module, const char* function, void* address) {
    if (!module || !function) return;
    Hold hold(_MutexThrLib);
    // Threads resolving one function together all get here: only the first adds it.
    if (_QueryFoundSymbol(module, function)) return;
    std::unique_ptr<char[]> moduleCopy = Duplicate(module);
    std::unique_ptr<char[]> functionCopy = Duplicate(function);
    if (!moduleCopy || !functionCopy || !MakeRoom(_foundSymbols, _nbSymbols)) return;
    QORThrFoundSymbol& added = _foundSymbols[_nbSymbols];
    added.moduleName = std::move(moduleCopy);
    added.functionName = std::move(functionCopy);
    added.address = address;
    ++_nbSymbols;
    std::sort(_foundSymbols, _foundSymbols + _nbSymbols,
              [](const QORThrFoundSymbol& a, const QORThrFoundSymbol& b) { return _CompareSymbols(&a, &b) < 0; });
}

unsigned char QORThrLibraryManager::_QueryLoadedLib(const char* name, HINSTANCE& handle, QORThrLoadedLib*& entry) {
    entry = nullptr;
    QORThrLoadedLib* const begin = _loadedLibraries;
    QORThrLoadedLib* const end = begin + _nbLibs;
    QORThrLoadedLib* const found = std::lower_bound(
        begin, end, name, [](const QORThrLoadedLib& a, const char* key) { return CompareNames(a.name.get(), key) < 0; });
    if (found == end || CompareNames(found->name.get(), name) != 0) return 0;
    handle = found->handle;
    entry = found;
    return 1;
}

void* QORThrLibraryManager::_QueryFoundSymbol(const char* module, const char* function) {
    Hold hold(_MutexThrLib);
    QORThrFoundSymbol* const begin = _foundSymbols;
    QORThrFoundSymbol* const end = begin + _nbSymbols;
    const auto before = [module, function](const QORThrFoundSymbol& a) {
        const int byFunction = CompareNames(a.functionName.get(), function);
        return byFunction != 0 ? byFunction < 0 : CompareNames(a.moduleName.get(), module) < 0;
    };
    QORThrFoundSymbol* const found = std::partition_point(begin, end, before);
    if (found == end || CompareNames(found->functionName.get(), function) != 0 ||
        CompareNames(found->moduleName.get(), module) != 0)
        return nullptr;
    return found->address;
}

void* QORThrLibraryManager::_FindSymbolInLibrary(const char* function, HINSTANCE module) {
    return reinterpret_cast<void*>(::GetProcAddress(module, function));
}

int QORThrLibraryManager::_CompareLib(const QORThrLoadedLib* a, const QORThrLoadedLib* b) {
    return CompareNames(a->name.get(), b->name.get());
}

int QORThrLibraryManager::_CompareSymbols(const QORThrFoundSymbol* a, const QORThrFoundSymbol* b) {
    const int byFunction = CompareNames(a->functionName.get(), b->functionName.get());
    return byFunction != 0 ? byFunction : CompareNames(a->moduleName.get(), b->moduleName.get());
}

void QORThrLibraryManager::_Cleanup() {
    Hold hold(_MutexThrLib);
    // The pointers are cleared too: a look-up after the clean-up starts afresh.
    delete[] _loadedLibraries;
    _loadedLibraries = nullptr;
    delete[] _foundSymbols;
    _foundSymbols = nullptr;
    _nbLibs = 0;
    _nbSymbols = 0;
}
