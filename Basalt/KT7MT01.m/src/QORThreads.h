#pragma once
// The framework's thread object and the first-thread callbacks. Status bits: 1 constructed, 32 construction finished, 2 start requested,
// 4 running, 16 ended, 64 joined. Nothing throws; an object whose record could not be made
// answers its no-record values.

#include <cstdint>

#include "QORSysExport.h"
#include "ZYNSysWin.h"

class QORThreads;
struct QORThreadsData;

// The thread handle, NULL without record or thread. It stays the object's: do not close it.
QOR_SYS_API HANDLE ZYNSysGetThreadHandle(const QORThreads& thread);

class QOR_SYS_API QORThreads {
public:
    // The two ints in the middle are ignored; a non-zero already-running flag adopts the calling
    // thread and should never be used.
    QORThreads(const char* name = nullptr, void* argument = nullptr, int reserved1 = -1, int reserved2 = 0,
               int alreadyRunning = 0);
    // Copies share the record.
    QORThreads(const QORThreads& other);
    QORThreads& operator=(const QORThreads& other);
    // Never stops the thread: a running thread keeps the record and finishes alone. It waits while
    // the thread is inside a call on this object (a Begin override that skips the base stays there
    // for the whole thread function).
    virtual ~QORThreads();

    // 0 started, 1 already starting or running (or no record), -1 the thread could not be made.
    // The stack size is ignored.
    virtual int Run(unsigned long long stackSize = 0);
    // On the new thread: the thread function's result (0 without one), -1 without record.
    virtual int Begin(void* argument);
    virtual int SetFunction(int (*function)(void*), void* argument);
    virtual int SetFunction(int (*function)(void*));
    virtual void Join();
    // On the thread itself these never return.
    virtual void End(int returnCode);
    virtual void Kill(int returnCode);
    virtual std::uint32_t IsRunning();
    virtual std::uint32_t GetStatus();
    virtual std::uint32_t GetThreadId();
    virtual int GetThreadReturnCode();
    virtual void EmitTrace(char* message);

    // A bare system call: the logger asks it for every line.
    static std::uint32_t GetCurrentThreadId();
    static QORThreads* GetCurrentThread();
    static QORThreads* GetMainThread();
    static int GetProcessorsNumber();
    static int IsMultiThreadingAllowed();
    static int CompareThreadId(const std::uint32_t& first, const std::uint32_t& second);

private:
    friend std::uint32_t QORThreadsRecordThreadId(const QORThreads& thread);
    friend struct QORThreadsAccess;
    static unsigned long __stdcall InitThreads(void* start);

    QORThreadsData* data_ = nullptr;
};

// The id in the object's record, without a virtual call: the list searches objects whose derived
// part may already be destroyed.
std::uint32_t QORThreadsRecordThreadId(const QORThreads& thread);

// Runs the callback when the first thread object comes to life, or at once when one already did.
// E_FAIL for NULL, otherwise 0 (E_OUTOFMEMORY when the queue cannot grow).
QOR_SYS_API long QORSysCallOnFirstThread(void (*callback)());
