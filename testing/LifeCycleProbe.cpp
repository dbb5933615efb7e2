// "vtprobe.dll": a module built against the life-cycle host's import library, as a user of the
// exported framework builds one. Its static initialiser registers an ordinary and a priority
// struct; VarometProbeRun calls the exports and writes one line per call, ending with one framed
// exchange over loopback through the exported sockets.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "QOREvent.h"
#include "QORMutex.h"
#include "QORSocketConnector.h"
#include "QORSockets.h"
#include "QORThrLibraryManager.h"
#include "QORThreads.h"
#include "ZYNSysContext.h"
#include "ZYNSysLifeCycle.h"
#include "ZYNSysList.h"
#include "ZYNSysPtrHashTable.h"
#include "ZYNSysSemaphore.h"
#include "ZYNSysTSDataQueue.h"
#include "ZYNSysTimer.h"
#include "ZYNSysWin.h"

namespace {

constexpr std::uint16_t kProbePriority = 40965;

void Say(const char* text, int value) {
    std::printf("%s %d\n", text, value);
    std::fflush(stdout);
}

void OrdinaryInit(void*) { Say("probe ordinary init", 0); }
void OrdinaryState(int state) { Say("probe ordinary state", state); }
void OrdinaryCall(int call) { Say("probe ordinary call", call); }
void PriorityInit(void*) { Say("probe priority init", 0); }
void PriorityState(int state) { Say("probe priority state", state); }
void PriorityCall(int call) { Say("probe priority call", call); }

const int g_registered = [] {
    const int ordinary = ZYNSysLifeCycleGlobalFactory(&OrdinaryInit, &OrdinaryState, &OrdinaryCall);
    const int priority = ZYNSysLifeCycleGlobalFactoryPrivate(static_cast<ZYNSysLifeCyclePriorFlag>(kProbePriority),
                                                             &PriorityInit, &PriorityState, &PriorityCall);
    return ordinary == 0 && priority == 0 ? 1 : 0;
}();

class Lines {
public:
    void Add(const char* format, ...) {
        char line[256];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(line, sizeof line, format, arguments);
        va_end(arguments);
        text_ += line;
        text_ += '\n';
    }
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

HMODULE ModuleOf(const void* address) {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(address), &module);
    return module;
}

int ThreadAnswer(void* argument) { return *static_cast<int*>(argument) + 1; }

std::uint32_t HashInt(const void* item) { return static_cast<std::uint32_t>(*static_cast<const int*>(item)); }
int EqualInts(const void* stored, const void* given) {
    return *static_cast<const int*>(stored) == *static_cast<const int*>(given);
}

void ProbeSynchronisation(Lines& lines) {
    const int locked = QORSysMTGlobalMutex(1, nullptr, 0);
    const int unlocked = QORSysMTGlobalMutex(2, nullptr, 0);
    lines.Add("QORSysMTGlobalMutex lock %d unlock %d", locked, unlocked);

    QORMutex mutex;
    (mutex.*QORMutex::LockF)();
    const int recursive = (mutex.*QORMutex::TryLockF)();
    (mutex.*QORMutex::UnlockF)();
    (mutex.*QORMutex::UnlockF)();
    lines.Add("QORMutex::LockF created %d relocked %d", mutex.IsCreated(), recursive);

    QOREvent* first = CreateQOREvent(0);
    QOREvent* second = CreateQOREvent(1);
    QOREvent* events[] = {first, second};
    lines.Add("WaitForMultipleEvents %d", first && second ? WaitForMultipleEvents(2, events, 0, 0) : -1);
    delete first;
    delete second;

    ZYNSysSemaphore* semaphore = ZYNSysSemaphore::ZYNSysCreateSemaphore(2, 1, 1);
    int maxCount = -1, count = -1, waited = -1, grown = -1;
    if (semaphore) {
        grown = semaphore->IncreaseCount(3, 1);
        semaphore->GetMaxCount(maxCount);
        waited = semaphore->Wait(0);
        semaphore->GetCurrentCount(count);
        delete semaphore;
    }
    lines.Add("ZYNSysResizableSemaphore grown %d max %d wait %d count %d", grown, maxCount, waited, count);

    ZYNSysTSDataQueue* queue = ZYNSysTSDataQueue::CreateEmptyQueue(false, 4);
    int item = 5, pushed = -1, popped = -1;
    void* out = nullptr;
    if (queue) {
        pushed = queue->PushFirst(&item, 0);
        popped = queue->PopLast(&out, 0);
        queue->Release();
    }
    lines.Add("ZYNSysTSDataQueue push %d pop %d same %d", pushed, popped, out == &item ? 1 : 0);
}

void ProbeThreadsAndContexts(Lines& lines) {
    int start = 41;
    QORThreads thread("probe");
    thread.SetFunction(&ThreadAnswer, &start);
    const int run = thread.Run();
    thread.Join();
    lines.Add("QORThreads run %d return %d", run, thread.GetThreadReturnCode());
    lines.Add("QORThreads::GetMainThread %s", QORThreads::GetMainThread() ? "found" : "missing");

    ZYNSysContext* before = ZYNSysContextGetCurrentContext();
    ZYNSysContext context("Probe", "The probe's context.");
    const int set = ZYNSysContextSetCurrentContext(&context);
    ZYNSysContext* read = ZYNSysContextGetCurrentContext();
    ZYNSysContextSetCurrentContext(before);
    ZYNSysContext* root = ZYNSysContextGetRootContext();
    lines.Add("context set %d read %s root %s", set, read ? read->GetName() : "(none)",
              root ? root->GetName() : "(none)");
}

void ProbeContainersAndTools(Lines& lines) {
    ZYNSysListStr names;
    names.Add("beta");
    names.Add("alpha");
    names.Add("beta");
    const char* first = names.First();
    const char* next = names.Next();
    lines.Add("ZYNSysListStr %s %s count %llu", first ? first : "-", next ? next : "-", names.Count());

    ZYNSysPtrHashTable table;
    int values[] = {3, 14, 3};
    const int init = ZYNSysPtrHashTable::Init(&table, 16, &HashInt, &EqualInts);
    const int added = table.Insert(&values[0]) + table.Insert(&values[1]);
    const int again = table.Insert(&values[2]);
    lines.Add("ZYNSysPtrHashTable init %d added %d again %d found %d", init, added, again,
              table.Find(&values[2]) == &values[0] ? 1 : 0);

    const QORThrLibraryHandler found = QORThrLibraryManager::GetFunctionAddress("kernel32", "GetTickCount");
    const void* direct = reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTickCount"));
    lines.Add("QORThrLibraryManager::GetFunctionAddress kernel32 GetTickCount %s",
              found.address && found.address == direct ? "matches" : "differs");

    std::int32_t fields[7] = {};
    ZYNSysTimerConvert(INT64_C(694861001001), fields);
    lines.Add("ZYNSysTimerConvert %d %d %d %d %d %d %d", fields[0], fields[1], fields[2], fields[3], fields[4],
              fields[5], fields[6]);

    // Imported functions and data must be the host's, never a copy linked into this module.
    const HMODULE host = ::GetModuleHandleW(nullptr);
    const HMODULE self = ModuleOf(reinterpret_cast<const void*>(&ThreadAnswer));
    const bool inHost = ModuleOf(reinterpret_cast<const void*>(&ZYNSysLifeCycleGlobalFactory)) == host &&
                        ModuleOf(reinterpret_cast<const void*>(&WaitForMultipleEvents)) == host &&
                        ModuleOf(&QORMutex::_mutexGlobal) == host && self && self != host;
    lines.Add("imports bound to the host %s, registered %d", inHost ? "yes" : "no", g_registered);
}

// One framed message each way over loopback: a connector, a client and the socket it accepts.
void ProbeSockets(Lines& lines) {
    QORSocketConnector connector(0, 10, 2);
    const int declared = connector.Declare("127.0.0.1");
    QORSockets client;
    const int connected = client.Connect(connector.GetPort(), "127.0.0.1");
    int limit = 3000;
    const int selected = connector.Select(&limit);
    QORSockets* server = nullptr;
    const int accepted = selected == 1 ? connector.Accept(&server) : -1;
    char ping[8] = {}, pong[8] = {};
    unsigned pingLength = 0, pongLength = 0;
    int there = -1, back = -1;
    if (server) {
        client.Send("ping", 4);
        if (server->Wait(3000) == 0) there = server->Receive(ping, sizeof ping, &pingLength);
        server->Send("pong!", 5);
        if (client.Wait(3000) == 0) back = client.Receive(pong, sizeof pong, &pongLength);
        delete server;
    }
    const HMODULE host = ::GetModuleHandleW(nullptr);
    const bool inHost = ModuleOf(reinterpret_cast<const void*>(&QORSocketConnector::Declare)) == host &&
                        ModuleOf(reinterpret_cast<const void*>(&QORSockets::Receive)) == host;
    lines.Add("QORSockets declared %d connected %d accepted %d sent %d \"%.*s\" back %d \"%.*s\" in the host %s",
              declared, connected, accepted, there, static_cast<int>(pingLength), ping, back,
              static_cast<int>(pongLength), pong, inHost ? "yes" : "no");
}

}  // namespace

// Writes the lines into the buffer (cut to its size, always terminated); answers their length.
extern "C" __declspec(dllexport) int VarometProbeRun(char* buffer, int size) {
    try {
        Lines lines;
        ProbeSynchronisation(lines);
        ProbeThreadsAndContexts(lines);
        ProbeContainersAndTools(lines);
        ProbeSockets(lines);
        if (!buffer || size <= 0) return -1;
        const std::size_t length = std::min<std::size_t>(lines.Text().size(), static_cast<std::size_t>(size) - 1);
        std::memcpy(buffer, lines.Text().data(), length);
        buffer[length] = '\0';
        return static_cast<int>(length);
    } catch (...) {
        return -1;
    }
}

// Nothing under the loader lock: the work of loading is the static initialiser's.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
