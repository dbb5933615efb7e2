#include "QORThreads.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "QORListThreads.h"
#include "QORMutex.h"
#include "QORSysMTTrace.h"
#include "QORThrLibraryManager.h"
#include "ZYNSysContext.h"
#include "ZYNSysGrowArray.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysShared.h"
#include "ZYNSysThreadStarter.h"

namespace {

constexpr std::uint32_t kConstructed = 1;
constexpr std::uint32_t kStartRequested = 2;
constexpr std::uint32_t kRunning = 4;
constexpr std::uint32_t kEnded = 16;
constexpr std::uint32_t kConstructionFinished = 32;
constexpr std::uint32_t kJoined = 64;

// The per-thread C-locale switch of module "QORSysTS", looked up once per process; NULL when the
// module or the function is missing.
using LocaleSwitch = int (*)(int);

LocaleSwitch PerThreadLocaleSwitch() {
    static const LocaleSwitch function = [] {
        const QORThrLibraryHandler found =
            QORThrLibraryManager::GetFunctionAddress("QORSysTS", "ZYNSysCLocaleSetPerThread");
        return reinterpret_cast<LocaleSwitch>(found.address);
    }();
    return function;
}

template <typename... Args>
void Trace(const char* format, Args... args) {
    if (ZYNSysMTTraceOn()) QORSysMTTrace(format, args...);
}

}  // namespace

// One start of the thread. The record keeps the latest run; the thread, every Join waiting on
// it and End or Kill while they use its handle hold a count, so the handle closes exactly once,
// when the last of them lets go.
struct QORThreadsRun : ZYNSysSharedRecord {
    explicit QORThreadsRun(QORThreadsData* owner);
    ~QORThreadsRun();

    QORThreadsData* record;
    ZYNSysKernelHandle handle;
    // The thread's own count, given up by the thread as it leaves or by whoever terminated it.
    std::atomic<bool> threadHoldsCount{false};
    // The thread is calling into the owner object: its destruction waits.
    std::atomic<bool> ownerInUse{false};
};

struct QORThreadsData : ZYNSysSharedRecord {
    struct StartRecord {
        int (*function)(void*) = nullptr;
        void* argument = nullptr;
        QORThreads* owner = nullptr;
    };

    StartRecord start;
    std::atomic<std::uint32_t> threadId{0};
    QORThreadsRun* run = nullptr;
    std::atomic<std::uint32_t> status{0};
    std::atomic<int> returnCode{1};
    DWORD creationFlags = 0;
    ZYNSysContext* context = nullptr;
    QORMutex mutex{0, 1, 0};
    // Objects sharing the record; the last one takes the handle out.
    int objects = 1;
    // The main record and objects built with the already-running flag: no handle of their own.
    bool adopted = false;
    std::atomic<int> ownerUses{0};

    ~QORThreadsData() { ZYNSysReleaseRecord(run); }
};

QORThreadsRun::QORThreadsRun(QORThreadsData* owner) : record(ZYNSysShareRecord(owner)) {}
QORThreadsRun::~QORThreadsRun() { ZYNSysReleaseRecord(record); }

namespace {

void PinOwner(QORThreadsRun* run) {
    run->ownerInUse.store(true);
    run->record->ownerUses.fetch_add(1);
}

void UnpinOwner(QORThreadsRun* run) {
    if (run->ownerInUse.exchange(false)) run->record->ownerUses.fetch_sub(1);
}

// Gives back what a thread held when it leaves its run.
void LeaveRun(QORThreadsRun* run) {
    UnpinOwner(run);
    if (run->threadHoldsCount.exchange(false)) ZYNSysReleaseRecord(run);
}

void __stdcall LeaveRunAtThreadExit(void* run) {
    if (run) LeaveRun(static_cast<QORThreadsRun*>(run));
}

// The fiber-local slot holding the run whose entry function is on this thread's stack. Its
// callback gives the thread's count back also when the thread function leaves through
// ExitThread. (A thread_local with a destructor hung threads made and ended in quick turns.)
DWORD EntrySlot() {
    static const DWORD slot = ::FlsAlloc(&LeaveRunAtThreadExit);
    return slot;
}

QORThreadsRun* CurrentEntryRun() {
    const DWORD slot = EntrySlot();
    if (slot == FLS_OUT_OF_INDEXES) return nullptr;
    const DWORD error = ::GetLastError();
    auto* run = static_cast<QORThreadsRun*>(::FlsGetValue(slot));
    ::SetLastError(error);
    return run;
}

void EnterRun(QORThreadsRun* run) {
    const DWORD slot = EntrySlot();
    if (slot != FLS_OUT_OF_INDEXES) ::FlsSetValue(slot, run);
}

void LeaveCurrentRun() {
    QORThreadsRun* run = CurrentEntryRun();
    if (!run) return;
    ::FlsSetValue(EntrySlot(), nullptr);
    LeaveRun(run);
}

// The thread's run when the caller is that thread, else NULL.
QORThreadsRun* EntryRunOf(QORThreadsData* record) {
    QORThreadsRun* run = CurrentEntryRun();
    return run && run->record == record ? run : nullptr;
}

// No destructor of this frame runs after ExitThread: the thread's count goes back first.
[[noreturn]] void ExitOwnThread(int code) {
    LeaveCurrentRun();
    ::ExitThread(static_cast<DWORD>(code));
}

// Terminates the run's thread; once it is gone, gives back what it held.
void TerminateRun(QORThreadsRun* run, int code) {
    if (!::TerminateThread(run->handle.Get(), static_cast<DWORD>(code))) return;
    // No bound: a terminated thread gives nothing back itself, so giving up here would leak the
    // run and leave a pinned owner's destructor waiting for ever.
    if (::WaitForSingleObject(run->handle.Get(), INFINITE) != WAIT_OBJECT_0) return;
    UnpinOwner(run);
    if (run->threadHoldsCount.exchange(false)) {
        QORThreadsRun* held = run;
        ZYNSysReleaseRecord(held);  // never the last: the caller holds one
    }
}

// First-construction set-up: 0 not begun, 1 in progress (the main record's own construction
// skips it), 2 done.
std::atomic<int> g_setUpState{0};
std::atomic<bool> g_firstThreadCreated{false};
std::atomic<QORThreads*> g_mainThread{nullptr};

using FirstThreadCallback = void (*)();

// Guards the set-up and the first-thread queue; recursive, so callbacks may queue callbacks.
QORMutex& FirstThreadMutex() {
    static QORSmartMutex mutex;
    return mutex;
}

// Released at exit by its destructor.
ZYNSysGrowArray& FirstThreadQueue() {
    static ZYNSysGrowArray queue(sizeof(FirstThreadCallback));
    return queue;
}

FirstThreadCallback QueuedCallback(std::int32_t index) {
    FirstThreadCallback callback = nullptr;
    std::memcpy(&callback, FirstThreadQueue().At(index), sizeof callback);
    return callback;
}

}  // namespace

// What the framework needs of an object beyond its interface.
struct QORThreadsAccess {
    // Once per process, before the first object: the list mutex, the main-thread record and the
    // queued first-thread callbacks.
    static void SetUpFirstThread();
    static void Detach(QORThreads& thread);
    // A friend declaration of an exported function would drop its dllimport in modules that
    // import it, so the handle getter reads the record through here.
    static QORThreadsData* Record(const QORThreads& thread) { return thread.data_; }
};

void QORThreadsAccess::SetUpFirstThread() {
    if (g_setUpState.load(std::memory_order_acquire) == 2) return;
    QORMutex& mutex = FirstThreadMutex();
    mutex.Lock();
    if (g_setUpState.load(std::memory_order_relaxed) == 0) {
        g_setUpState.store(1, std::memory_order_relaxed);
        QORThreads::IsMultiThreadingAllowed();
        if (QORListThreads* list = QORListThreadsMain()) list->CreateMutexW();
        // The main-thread record stands for the thread that made it; its own construction finds
        // the set-up in progress and skips it.
        auto* main = new (std::nothrow) QORThreads("MainThread", nullptr, -1, 0, 0);
        if (main && main->data_) {
            main->data_->adopted = true;
            main->data_->threadId.store(::GetCurrentThreadId());
            main->data_->status.fetch_or(kRunning);
            g_mainThread.store(main, std::memory_order_release);
        }
        // A callback may queue more: they run in this loop too.
        ZYNSysGrowArray& queue = FirstThreadQueue();
        for (std::int32_t i = 0; i < queue.GetCount(); ++i) {
            if (FirstThreadCallback callback = QueuedCallback(i)) {
                try {
                    callback();
                } catch (...) {
                }
            }
        }
        g_firstThreadCreated.store(true, std::memory_order_release);
        queue.Free();
        g_setUpState.store(2, std::memory_order_release);
    }
    mutex.Unlock();
}

QORThreads::QORThreads(const char* name, void* argument, int, int, int alreadyRunning) {
    QORThreadsAccess::SetUpFirstThread();
    auto* record = new (std::nothrow) QORThreadsData;
    if (!record) return;
    if (!record->mutex.IsCreated()) {
        ZYNSysReleaseRecord(record);
        return;
    }
    record->start.argument = argument;
    record->start.owner = this;
    record->status.store(kConstructed);
    data_ = record;
    if (QORListThreads* list = QORListThreadsMain()) list->AddThread(this);
    if (alreadyRunning != 0) {
        std::fputs(" Argument IThreadAlreadyRunning in QORThreads constructor should never be used ! Please "
                   "contact QORThreads responsible.\n",
                   stdout);
        std::fflush(stdout);
        record->adopted = true;
        record->threadId.store(::GetCurrentThreadId());
        record->status.fetch_or(kRunning);
    }
    record->status.fetch_or(kConstructionFinished);
    if (ZYNSysContext* context = ZYNSysContextGetCurrentContext()) record->context = context;
    if (name) Trace("evt=tcreat | thr=0x%x | nam=%s\n", ZYNSysMTTraceId(this), name);
    else Trace("evt=tcreat | thr=0x%x | nam='anonymous'\n", ZYNSysMTTraceId(this));
}

QORThreads::QORThreads(const QORThreads& other) : data_(ZYNSysShareRecord(other.data_)) {
    if (!data_) return;
    data_->mutex.Lock();
    ++data_->objects;
    data_->mutex.Unlock();
}

QORThreads& QORThreads::operator=(const QORThreads& other) {
    if (data_ == other.data_) return *this;
    QORThreadsAccess::Detach(*this);
    data_ = ZYNSysShareRecord(other.data_);
    if (data_) {
        data_->mutex.Lock();
        ++data_->objects;
        data_->mutex.Unlock();
    }
    return *this;
}

QORThreads::~QORThreads() {
    Trace("evt=tdel | thr=0x%x\n", ZYNSysMTTraceId(this));
    if (QORListThreads* list = QORListThreadsMain()) list->RemoveThread(this);
    QORThreadsAccess::Detach(*this);
}

// Lets go of the record. A thread still running keeps it and, once its owner is gone, calls
// neither Begin nor End on it: only its own bookkeeping.
void QORThreadsAccess::Detach(QORThreads& thread) {
    QORThreadsData* record = thread.data_;
    if (!record) return;
    QORThreadsRun* run = nullptr;
    bool wasOwner = false;
    record->mutex.Lock();
    if (record->start.owner == &thread) {
        record->start.owner = nullptr;
        wasOwner = true;
    }
    if (--record->objects == 0) {
        run = record->run;
        record->run = nullptr;
    }
    thread.data_ = nullptr;
    record->mutex.Unlock();
    ZYNSysReleaseRecord(run);
    // The thread may be between reading the owner and calling it; on the thread itself there is
    // nothing to wait for.
    if (wasOwner && !EntryRunOf(record)) {
        for (int spins = 0; record->ownerUses.load() != 0; ++spins) ::Sleep(spins < 64 ? 0 : 1);
    }
    ZYNSysReleaseRecord(record);
}

int QORThreads::Run(unsigned long long) {
    QORThreadsData* record = data_;
    if (!record) return 1;
    record->mutex.Lock();
    record->status.fetch_and(~(kEnded | kJoined));
    const std::uint32_t before = record->status.fetch_or(kStartRequested);
    if (before & (kStartRequested | kRunning)) {
        record->mutex.Unlock();
        return 1;
    }
    // A copy that outlived the object it was made from runs the thread function as its own.
    if (!record->start.owner) record->start.owner = this;
    auto* run = new (std::nothrow) QORThreadsRun(record);
    int answer = -1;
    if (run) {
        run->threadHoldsCount.store(true);
        run->Share();
        DWORD id = 0;
        HANDLE thread = ZYNSysStartThread(&InitThreads, run, record->creationFlags, &id);
        if (thread) {
            run->handle.Reset(thread);
            // An earlier run's handle that nobody joined closes now.
            ZYNSysReleaseRecord(record->run);
            record->run = run;
            record->threadId.store(id);
            answer = 0;
        } else {
            run->threadHoldsCount.store(false);
            run->Unshare();
            ZYNSysReleaseRecord(run);
        }
    }
    // A start that failed leaves the object startable again.
    if (answer != 0) record->status.fetch_and(~kStartRequested);
    record->mutex.Unlock();
    return answer;
}

unsigned long __stdcall QORThreads::InitThreads(void* start) {
    auto* run = static_cast<QORThreadsRun*>(start);
    if (!run || !run->record) return 0;
    QORThreadsData* record = run->record;
    int rc = 0;
    try {
        EnterRun(run);
        record->mutex.Lock();
        record->status.fetch_or(kRunning);
        record->status.fetch_and(~kStartRequested);
        if (record->context) ZYNSysContextSetCurrentContext(record->context);
        QORThreads* owner = record->start.owner;
        void* argument = record->start.argument;
        if (owner) PinOwner(run);
        record->mutex.Unlock();
        Trace("evt=trun \n");

        if (owner) {
            try {
                rc = owner->Begin(argument);
            } catch (...) {
                rc = -1;
            }
            UnpinOwner(run);
        }

        record->mutex.Lock();
        ZYNSysContextSetCurrentContext(nullptr);
        owner = record->start.owner;
        if (owner) PinOwner(run);
        record->mutex.Unlock();
        if (owner) {
            try {
                owner->End(rc);
            } catch (...) {
            }
            UnpinOwner(run);
        }
        // An End that returned (its object detached meanwhile, or an override that skips the
        // base) left the thread marked running: the run's own record is ended here either way.
        record->mutex.Lock();
        if (record->status.load() & kRunning) {
            record->returnCode = rc;  // before the bit: see End
            record->status.fetch_or(kEnded);
            record->status.fetch_and(~kRunning);
        }
        record->mutex.Unlock();
    } catch (...) {
        UnpinOwner(run);
    }
    LeaveCurrentRun();
    return static_cast<unsigned long>(rc);
}

int QORThreads::Begin(void* argument) {
    QORThreadsData* record = data_;
    if (!record) return -1;
    record->mutex.Lock();
    int (*function)(void*) = record->start.function;
    record->mutex.Unlock();
    // From here on only the record: the object may be destroyed while the function runs.
    if (QORThreadsRun* run = EntryRunOf(record)) UnpinOwner(run);
    const LocaleSwitch localeSwitch = PerThreadLocaleSwitch();
    if (localeSwitch) localeSwitch(1);
    int rc = 0;
    if (function) {
        try {
            rc = function(argument);
        } catch (...) {
            rc = -1;
        }
    }
    if (localeSwitch) localeSwitch(0);
    return rc;
}

int QORThreads::SetFunction(int (*function)(void*), void* argument) {
    QORThreadsData* record = data_;
    if (!record) return -1;
    record->mutex.Lock();
    record->start.function = function;
    record->start.argument = argument;
    record->mutex.Unlock();
    return 0;
}

int QORThreads::SetFunction(int (*function)(void*)) {
    QORThreadsData* record = data_;
    if (!record) return -1;
    record->mutex.Lock();
    record->start.function = function;
    record->mutex.Unlock();
    return 0;
}

void QORThreads::Join() {
    QORThreadsData* record = data_;
    if (!record) return;
    record->mutex.Lock();
    const std::uint32_t before = record->status.fetch_or(kJoined);
    if (!(before & (kStartRequested | kRunning)) && (before & kJoined)) {
        record->mutex.Unlock();
        return;
    }
    QORThreadsRun* run = ZYNSysShareRecord(record->run);
    record->mutex.Unlock();
    if (!run) return;
    Trace("evt=tjoin | thr=0x%x\n", ZYNSysMTTraceId(this));
    if (::WaitForSingleObject(run->handle.Get(), INFINITE) != WAIT_OBJECT_0)
        Trace("evt=err_endwp | rtn=join |thr=0x%x | tgt=%d \n", ZYNSysMTTraceId(this),
              static_cast<int>(record->threadId.load()));
    // The record lives while the run does.
    record->mutex.Lock();
    if (record->run == run) ZYNSysReleaseRecord(record->run);
    record->mutex.Unlock();
    ZYNSysReleaseRecord(run);
    Trace("evt=ejoin | thr=0x%x\n", ZYNSysMTTraceId(this));
}

void QORThreads::End(int returnCode) {
    QORThreadsData* record = data_;
    if (!record) return;
    record->mutex.Lock();
    if (!(record->status.load() & kRunning)) {
        record->mutex.Unlock();
        Trace("evt=tend_no_bcasr | thr=0x%x \n", ZYNSysMTTraceId(this));
        return;
    }
    // The code first: a reader that sees the thread stopped without the lock reads it next.
    record->returnCode = returnCode;
    record->status.fetch_or(kEnded);
    record->status.fetch_and(~kRunning);
    const std::uint32_t id = record->threadId.load();
    const bool onIt = id == ::GetCurrentThreadId();
    QORThreadsRun* run = onIt ? nullptr : ZYNSysShareRecord(record->run);
    record->mutex.Unlock();
    Trace("evt=tend | thr=0x%x | tid=%-d \n", ZYNSysMTTraceId(this), static_cast<int>(id));
    if (onIt) ExitOwnThread(returnCode);
    // Terminating can leave the record mutex held when the thread had it at that moment.
    if (run) TerminateRun(run, returnCode);
    ZYNSysReleaseRecord(run);
}

void QORThreads::Kill(int returnCode) {
    QORThreadsData* record = data_;
    if (!record) return;
    record->mutex.Lock();
    if (!(record->status.load() & kRunning)) {
        record->mutex.Unlock();
        return;
    }
    record->status.fetch_or(kEnded);
    record->status.fetch_and(~kRunning);
    const std::uint32_t id = record->threadId.load();
    const bool onIt = id == ::GetCurrentThreadId();
    const bool adopted = record->adopted;
    QORThreadsRun* run = record->run;
    record->run = nullptr;
    record->mutex.Unlock();
    if (onIt) {
        ZYNSysReleaseRecord(run);
        ExitOwnThread(returnCode);
    }
    if (run) {
        // Through the handle: a thread that already left may have passed its id to another.
        TerminateRun(run, returnCode);
        ZYNSysReleaseRecord(run);
    } else if (adopted) {
        ZYNSysKernelHandle thread(::OpenThread(THREAD_TERMINATE, FALSE, id));
        if (thread) ::TerminateThread(thread.Get(), static_cast<DWORD>(returnCode));
    }
}

std::uint32_t QORThreads::IsRunning() { return data_ ? data_->status.load() & kRunning : 0; }

std::uint32_t QORThreads::GetStatus() { return data_ ? data_->status.load() : 0; }

std::uint32_t QORThreads::GetThreadId() { return data_ ? data_->threadId.load() : 0xFFFFFFFFu; }

std::uint32_t QORThreadsRecordThreadId(const QORThreads& thread) {
    return thread.data_ ? thread.data_->threadId.load() : 0xFFFFFFFFu;
}

int QORThreads::GetThreadReturnCode() {
    QORThreadsData* record = data_;
    if (!record) return 1;
    return (record->status.load() & (kStartRequested | kRunning)) ? 1 : record->returnCode.load();
}

void QORThreads::EmitTrace(char* message) {
    Trace("evt=msg | thr=0x%x | msg=%s\n", ZYNSysMTTraceId(this), message ? message : "");
}

std::uint32_t QORThreads::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

QORThreads* QORThreads::GetCurrentThread() {
    QORListThreads* list = QORListThreadsMain();
    return list ? list->FindThread(::GetCurrentThreadId()) : nullptr;
}

QORThreads* QORThreads::GetMainThread() {
    if (QORThreads* main = g_mainThread.load(std::memory_order_acquire)) return main;
    QORThreadsAccess::SetUpFirstThread();
    return g_mainThread.load(std::memory_order_acquire);
}

int QORThreads::GetProcessorsNumber() {
    if (!IsMultiThreadingAllowed()) return 1;
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return static_cast<int>(info.dwNumberOfProcessors);
}

int QORThreads::IsMultiThreadingAllowed() {
    static const int allowed = [] {
        char value[8] = {};
        const DWORD error = ::GetLastError();
        const DWORD n = ::GetEnvironmentVariableA("QORSysMultiThreading", value, sizeof value);
        ::SetLastError(error);
        return n < sizeof value && std::strcmp(value, "FALSE") == 0 ? 0 : 1;
    }();
    return allowed;
}

int QORThreads::CompareThreadId(const std::uint32_t& first, const std::uint32_t& second) {
    return first == second ? 1 : 0;
}

HANDLE ZYNSysGetThreadHandle(const QORThreads& thread) {
    QORThreadsData* record = QORThreadsAccess::Record(thread);
    if (!record) return nullptr;
    record->mutex.Lock();
    HANDLE handle = record->run ? record->run->handle.Get() : nullptr;
    record->mutex.Unlock();
    return handle;
}

long QORSysCallOnFirstThread(void (*callback)()) {
    if (!callback) return E_FAIL;
    QORMutex& mutex = FirstThreadMutex();
    mutex.Lock();
    if (g_firstThreadCreated.load(std::memory_order_acquire)) {
        mutex.Unlock();
        try {
            callback();
        } catch (...) {
        }
        return 0;
    }
    ZYNSysGrowArray& queue = FirstThreadQueue();
    const std::int32_t count = queue.GetCount();
    if (count == queue.GetCapacity()) {
        if (FAILED(queue.Reserve(count + 10))) {
            mutex.Unlock();
            return E_OUTOFMEMORY;
        }
        std::memset(queue.At(count), 0, static_cast<std::size_t>(queue.GetCapacity() - count) * sizeof(FirstThreadCallback));
    }
    std::memcpy(queue.At(count), &callback, sizeof callback);
    queue.SetCount(count + 1);
    mutex.Unlock();
    return 0;
}
