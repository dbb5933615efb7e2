#pragma once
// Framework modules loaded by short name and functions resolved in them, remembered in two
// sorted process-wide caches: a repeated look-up costs one binary search and never loads. A
// failed load is remembered too. Modules stay loaded for the life of the process. Nothing
// throws; failures answer NULL fields.

#include <memory>

#include "QORMutex.h"
#include "QORSysExport.h"
#include "ZYNSysModuleHandle.h"
#include "ZYNSysWin.h"

struct QORThrLoadedLib {
    std::unique_ptr<char[]> name;
    HINSTANCE handle = nullptr;
};

struct QORThrFoundSymbol {
    std::unique_ptr<char[]> moduleName;
    std::unique_ptr<char[]> functionName;
    void* address = nullptr;
};

// What a look-up answers: the function's address, and the module's handle when this call
// loaded or found the module rather than the cached address.
struct QORThrLibraryHandler {
    void* address;
    HINSTANCE module;
};

class QORThrLibraryManager {
public:
    QORThrLibraryManager() = delete;

    // The module "<name>.dll", loaded on the first request; NULL when it cannot be loaded, and for
    // a NULL name (which nothing caches).
    QOR_SYS_API static HINSTANCE LoadLibraryW(const char* name);
    // {cached address, NULL} for a known function; else {address or NULL, module or NULL}.
    // {NULL, NULL} for a NULL module name.
    QOR_SYS_API static QORThrLibraryHandler GetFunctionAddress(const char* module, const char* function);

private:
    QOR_SYS_API static void _AddLoadedLib(const char* name, HINSTANCE handle);
    QOR_SYS_API static void _AddFoundSymbol(const char* module, const char* function, void* address);
    QOR_SYS_API static unsigned char _QueryLoadedLib(const char* name, HINSTANCE& handle, QORThrLoadedLib*& entry);
    QOR_SYS_API static void* _QueryFoundSymbol(const char* module, const char* function);
    QOR_SYS_API static void* _FindSymbolInLibrary(const char* function, HINSTANCE module);
    QOR_SYS_API static int _CompareLib(const QORThrLoadedLib* a, const QORThrLoadedLib* b);
    QOR_SYS_API static int _CompareSymbols(const QORThrFoundSymbol* a, const QORThrFoundSymbol* b);
    QOR_SYS_API static void _Cleanup();

    // Both arrays belong to _Cleanup alone, which frees them with their counts. An owner with a
    // destructor would free them at exit behind the counts of a later look-up.
    // Sorted by name; capacity grows in steps of 10.
    QOR_SYS_API static QORThrLoadedLib* _loadedLibraries;
    QOR_SYS_API static int _nbLibs;
    // Sorted by function name, then module name.
    QOR_SYS_API static QORThrFoundSymbol* _foundSymbols;
    QOR_SYS_API static int _nbSymbols;
    QOR_SYS_API static QORSmartMutex _MutexThrLib;
};

// Where the library manager loads modules. The default is ZYNSysLoadFrameworkModule; a test
// installs one that counts or holds the loads.
class QORThrLibraryLoader {
public:
    virtual ~QORThrLibraryLoader() = default;
    virtual ZYNSysModuleHandle Load(const char* shortName) = 0;
};
void QORThrSetLibraryLoader(QORThrLibraryLoader* loader);  // NULL restores the default
