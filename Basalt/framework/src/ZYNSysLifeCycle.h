#pragma once
// The process-wide life-cycle registry: framework parts and modules register a priority and three
// callbacks; a host may dispatch initialisation (once), state changes, system calls and
// finalisation to them. Modules loaded by short name through the registry group the structs their
// initialisers register and are initialised on load. Nothing throws; failures answer -1 or NULL.
//
// The program itself never dispatches: its two start-up registrations (the language settings and
// the context manager, made with the registry) stay idle, and both parts initialise on first use.

#include <cstdint>

#include "QORSysExport.h"

struct ZYNSysLifeCycleStruct {
    std::uint16_t priority;
    void (*init)(void* argument);
    void (*stateChange)(int state);
    void (*systemCall)(int call);
};

// Priorities from the threshold up run before every ordinary struct, lowest first.
enum ZYNSysLifeCyclePriorFlag : std::uint16_t {
    ZYNSysLifeCycleOrdinary = 0,
    ZYNSysLifeCyclePriorThreshold = 0xA000,
};

// Priority 0; 0, or -1 (no init, no memory).
QOR_SYS_API int ZYNSysLifeCycleGlobalFactory(void (*init)(void*), void (*stateChange)(int),
                                             void (*systemCall)(int));
QOR_SYS_API int ZYNSysLifeCycleGlobalFactoryPrivate(ZYNSysLifeCyclePriorFlag priority, void (*init)(void*),
                                                    void (*stateChange)(int), void (*systemCall)(int));
// The registry's own copy, or NULL. The name is ignored. After the initialisation dispatch (or
// during it) the new struct's init runs at once, exactly once, and is cleared.
QOR_SYS_API ZYNSysLifeCycleStruct* ZYNSysLifeCycleGlobalFactoryInternal(const char* name, void (*init)(void*),
                                                                      void (*stateChange)(int),
                                                                      void (*systemCall)(int),
                                                                      std::uint16_t priority);
// Runs the struct's init with NULL and clears it, also for a struct the registry does not hold
// (it is not filed); -1 for NULL or a struct without init.
QOR_SYS_API int ZYNSysLifeCycleGlobalFactoryInternalCheck(ZYNSysLifeCycleStruct* lifeCycle);

// Once per process: -1 on a second call. Priority structs (ascending), then the program's ordinary
// structs (in registration order).
QOR_SYS_API int ZYNSysLifeCycleDispatchInitialization();
QOR_SYS_API int ZYNSysLifeCycleDispatchInitializationEx(void* argument);
// Priority structs, the program's ordinary structs, then each loaded module's.
QOR_SYS_API void ZYNSysLifeCycleDispatchStateChange(int state);
QOR_SYS_API void ZYNSysLifeCycleDispatchSystemCall(int call);
// stateChange(0) once per struct: each module in load order with its structs last to first, then
// the program's ordinary structs last to first, then the priority structs, highest first.
QOR_SYS_API void ZYNSysLifeCycleDispatchFinalization();

// "<name>.dll": the handle of a module already in the process (also before the initialisation
// dispatch), else loaded from the application's folder or System32 after the dispatch. Names
// that are empty or hold '\', '/' or ':' are refused. 0 with *module set, or -1.
// A failed load forgets every struct that it filed (its module's and its dependencies');
// another thread's registrations meanwhile stay with the program.
QOR_SYS_API int ZYNSysLifeCycleDynamicLoad(const char* name, void** module);
QOR_SYS_API void* ZYNSysLifeCycleDynamicGetFunction(void* module, const char* function);
// Frees a module that the registry loaded and forgets the structs whose callbacks lie in it, and
// those its load filed from outside the program (a dependency's); they stay when the free fails
// (-1). A handle the registry did not load is left alone (0).
QOR_SYS_API int ZYNSysLifeCycleDynamicUnload(void** module);
