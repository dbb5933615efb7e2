#pragma once
// Execution contexts: each thread's current context in a TLS slot of its own, the root context
// (the first one ever set) and the last one set from any thread; the context manager owns the
// main context "Main", whose variables back every lookup. All functions answer 0 or -1.

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "QORMutex.h"
#include "QORSysExport.h"

struct ZYNSysContextData;

// A heap C string released with free.
struct ZYNSysFreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};
using ZYNSysCString = std::unique_ptr<char, ZYNSysFreeDeleter>;

class QOR_SYS_API ZYNSysContext {
public:
    // Copies both texts; the context starts in state -1 (being built).
    ZYNSysContext(const char* name = nullptr, const char* description = nullptr);
    virtual ~ZYNSysContext();
    ZYNSysContext(const ZYNSysContext&) = delete;
    ZYNSysContext& operator=(const ZYNSysContext&) = delete;

    const char* GetName() const { return name_.get(); }
    const char* GetDescription() const { return description_.get(); }
    std::int32_t GetState() const { return state_; }
    void SetState(std::int32_t state) { state_ = state; }
    // NULL when it could not be made.
    ZYNSysContextData* GetData() const { return data_.get(); }

private:
    std::int32_t field0_ = 0;
    std::int32_t state_ = -1;
    std::int32_t field127_ = 127;
    ZYNSysCString name_;
    ZYNSysCString description_;
    ZYNSysCString strings_[4];
    std::int32_t count_ = 0;
    std::unique_ptr<ZYNSysContextData> data_;
    QORMutex mutex_;
};

QOR_SYS_API int ZYNSysContextInitialize();
QOR_SYS_API int ZYNSysContextFinalize();
QOR_SYS_API int ZYNSysContextSetCurrentContext(ZYNSysContext* context);
QOR_SYS_API ZYNSysContext* ZYNSysContextGetCurrentContext();
QOR_SYS_API ZYNSysContext* ZYNSysContextGetRootContext();

// Owns the main context; made once and kept until the process ends.
class ZYNSysContextManager {
public:
    // 0 with the main context (made on first use and made the caller's current context), -1
    // for a NULL out pointer or when it cannot be made.
    int GetMainContext(ZYNSysContext** context);
    QORMutex& Mutex() { return mutex_; }

private:
    ZYNSysContext* main_ = nullptr;
    QORMutex mutex_{0, 1, 0};
};

// NULL only when memory ran out.
ZYNSysContextManager* ZYNSysGetContextManager();
// The value of a variable of the current context, else of the main context; NULL when neither
// has it. The text stays the context's.
const char* ZYNSysContextGetVariable(const char* name);
