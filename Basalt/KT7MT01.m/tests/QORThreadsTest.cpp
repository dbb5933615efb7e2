#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORListThreads.h"
#include "QORThreads.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysThreadStarter.h"

namespace {

constexpr std::uint32_t kStartRequested = 2;
constexpr std::uint32_t kRunning = 4;
constexpr std::uint32_t kEnded = 16;

// What a thread function is given: a gate it waits at, the object it runs in and what it saw.
struct Job {
    ZYNSysKernelHandle gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> started{false};
    QORThreads* self = nullptr;
    QORThreads* seenFromInside = nullptr;
    int returnCode = 0;
    void Open() { ::SetEvent(gate.Get()); }
    // Waits until the function is inside, at most 5 s.
    bool WaitStarted() const {
        for (int i = 0; i < 5000 && !started; ++i) ::Sleep(1);
        return started;
    }
};

int WaitAtTheGate(void* argument) {
    auto* job = static_cast<Job*>(argument);
    job->seenFromInside = QORThreads::GetCurrentThread();
    job->started = true;
    ::WaitForSingleObject(job->gate.Get(), INFINITE);
    return job->returnCode;
}

int EndItself(void* argument) {
    auto* job = static_cast<Job*>(argument);
    job->started = true;
    ::WaitForSingleObject(job->gate.Get(), INFINITE);
    job->self->End(job->returnCode);
    return 99;  // never reached
}

int KillItself(void* argument) {
    auto* job = static_cast<Job*>(argument);
    job->started = true;
    ::WaitForSingleObject(job->gate.Get(), INFINITE);
    job->self->Kill(job->returnCode);
    return 99;
}

int LeaveThroughExitThread(void* argument) {
    auto* job = static_cast<Job*>(argument);
    job->started = true;
    ::ExitThread(static_cast<DWORD>(job->returnCode));
}

int ReturnAtOnce(void*) { return 0; }

// A handle of our own on the object's thread, valid after the object closed its own.
ZYNSysKernelHandle DuplicateThreadHandle(const QORThreads& thread) {
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ZYNSysGetThreadHandle(thread), ::GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    return ZYNSysKernelHandle(copy);
}

DWORD ExitCodeAfterEnd(const ZYNSysKernelHandle& thread) {
    if (::WaitForSingleObject(thread.Get(), 5000) != WAIT_OBJECT_0) return 0xDEAD;
    DWORD code = 0;
    ::GetExitCodeThread(thread.Get(), &code);
    return code;
}

int CountListed() {
    int n = 0;
    for (QORListThreadsElem* e = GetFirstThreadsFromMainList(); e; e = e->GetNext()) ++n;
    return n;
}

}  // namespace

TEST(QORThreads, RunStartsOnceUntilTheThreadEndedAndTheReturnCodeFollows) {
    Job job;
    job.returnCode = 7;
    QORThreads thread("runner");
    EXPECT_EQ(thread.GetThreadReturnCode(), 1);
    ASSERT_EQ(thread.SetFunction(&WaitAtTheGate, &job), 0);
    EXPECT_EQ(thread.Run(), 0);
    EXPECT_EQ(thread.Run(), 1);
    ASSERT_TRUE(job.WaitStarted());
    EXPECT_EQ(job.seenFromInside, &thread);
    EXPECT_EQ(thread.GetThreadReturnCode(), 1);
    EXPECT_EQ(thread.IsRunning(), kRunning);
    job.Open();
    thread.Join();
    EXPECT_EQ(thread.GetThreadReturnCode(), 7);
    EXPECT_EQ(thread.GetStatus() & (kRunning | kEnded), kEnded);

    // Again after the end, then joined.
    job.returnCode = 8;
    EXPECT_EQ(thread.Run(), 0);
    thread.Join();
    EXPECT_EQ(thread.GetThreadReturnCode(), 8);
    EXPECT_EQ(ZYNSysGetThreadHandle(thread), nullptr);
    thread.Join();  // joined already: returns at once
}

TEST(QORThreads, EndAndKillStopTheThreadWithTheirCode) {
    struct Case {
        const char* name;
        int (*function)(void*);
        bool fromOutside;  // else the function calls it on its own object
        bool kill;
        int code;
        int returnCodeAfter;  // End keeps the code, Kill does not
    };
    const Case cases[] = {
        {"End on the thread itself", &EndItself, false, false, 5, 5},
        {"Kill on the thread itself", &KillItself, false, true, 6, 1},
        {"End from another thread", &WaitAtTheGate, true, false, 9, 9},
        {"Kill from another thread", &WaitAtTheGate, true, true, 10, 1},
    };
    for (const Case& c : cases) {
        Job job;
        job.returnCode = c.code;
        QORThreads thread;
        job.self = &thread;
        thread.SetFunction(c.function, &job);
        ASSERT_EQ(thread.Run(), 0) << c.name;
        ASSERT_TRUE(job.WaitStarted()) << c.name;
        ZYNSysKernelHandle mine = DuplicateThreadHandle(thread);
        if (c.fromOutside) {
            if (c.kill) thread.Kill(c.code);
            else thread.End(c.code);
        } else {
            job.Open();
        }
        EXPECT_EQ(ExitCodeAfterEnd(mine), static_cast<DWORD>(c.code)) << c.name;
        EXPECT_EQ(thread.GetStatus() & (kRunning | kEnded), kEnded) << c.name;
        EXPECT_EQ(thread.GetThreadReturnCode(), c.returnCodeAfter) << c.name;
        thread.Join();
    }
}

TEST(QORThreads, DestroyingARunningObjectLeavesTheThreadToFinishAlone) {
    Job job;
    job.returnCode = 11;
    auto* thread = new QORThreads("detached");
    thread->SetFunction(&WaitAtTheGate, &job);
    ASSERT_EQ(thread->Run(), 0);
    ASSERT_TRUE(job.WaitStarted());
    ZYNSysKernelHandle mine = DuplicateThreadHandle(*thread);
    delete thread;
    // Whatever takes the freed memory must not be called as the object.
    std::vector<std::vector<unsigned char>> scribbles;
    for (int i = 0; i < 64; ++i) scribbles.emplace_back(16, 0xFF);
    job.Open();
    EXPECT_EQ(ExitCodeAfterEnd(mine), 11u);
}

namespace {

int ReturnTwelve(void*) { return 12; }

// An End that never reaches the base.
class EndWithoutTheBase : public QORThreads {
public:
    void End(int) override {}
};

// An End that calls the base only once its object is being destroyed: the base then finds no
// record. Nothing of the derived part is touched after the signal.
std::atomic<bool> g_endEntered{false};
class EndOutlivedByItsObject : public QORThreads {
public:
    void End(int returnCode) override {
        g_endEntered = true;
        for (int i = 0; i < 5000 && QORThreads::GetStatus() != 0; ++i) ::Sleep(1);
        QORThreads::End(returnCode);
    }
};

// Answers an id that is not its thread's.
class WithAnotherId : public QORThreads {
public:
    std::uint32_t GetThreadId() override { return 0x7FFFFFFE; }
};

}  // namespace

TEST(QORThreads, AnEndThatLeavesTheThreadMarkedRunningIsFinishedByTheThread) {
    struct Case {
        const char* name;
        QORThreads* (*make)();
        bool destroyInsideEnd;
    };
    const Case cases[] = {
        {"End override skipping the base", []() -> QORThreads* { return new EndWithoutTheBase; }, false},
        {"object destroyed while its End runs", []() -> QORThreads* { return new EndOutlivedByItsObject; }, true},
    };
    for (const Case& c : cases) {
        g_endEntered = false;
        QORThreads* thread = c.make();
        thread->SetFunction(&ReturnTwelve);
        QORThreads copy(*thread);  // watches the shared record
        ASSERT_EQ(thread->Run(), 0) << c.name;
        if (c.destroyInsideEnd) {
            for (int i = 0; i < 5000 && !g_endEntered; ++i) ::Sleep(1);
            ASSERT_TRUE(g_endEntered) << c.name;
            delete thread;
            thread = nullptr;
        }
        copy.Join();
        EXPECT_EQ(copy.GetStatus() & (kRunning | kEnded), kEnded) << c.name;
        EXPECT_EQ(copy.GetThreadReturnCode(), 12) << c.name;
        delete thread;
    }
}

// The code is stored before the thread is marked stopped, by End or by the thread itself: a reader
// that sees it stopped, without a lock, reads the new code. A race, so many runs; it never fails
// while that order holds.
TEST(QORThreads, AReaderThatSeesTheThreadStoppedReadsItsNewReturnCode) {
    struct Case {
        const char* name;
        QORThreads* (*make)();
    };
    const Case cases[] = {
        {"End", []() -> QORThreads* { return new QORThreads; }},
        {"End override skipping the base", []() -> QORThreads* { return new EndWithoutTheBase; }},
    };
    constexpr int kRuns = 300;
    for (const Case& c : cases) {
        int stale = 0;
        int code = 0;
        std::unique_ptr<QORThreads> thread(c.make());
        thread->SetFunction([](void* argument) { return *static_cast<int*>(argument); }, &code);
        for (int run = 0; run < kRuns; ++run) {
            code = 100 + run;  // each run ends with a code of its own
            ASSERT_EQ(thread->Run(), 0) << c.name;
            std::uint32_t status = 0;
            do {
                status = thread->GetStatus();
            } while (!(status & kEnded) || (status & (kStartRequested | kRunning)));
            if (thread->GetThreadReturnCode() != code) ++stale;
            thread->Join();
        }
        EXPECT_EQ(stale, 0) << c.name << ", of " << kRuns << " runs";
    }
}

TEST(QORThreads, ACopyThatOutlivedItsOriginalRunsTheThreadFunction) {
    auto* original = new QORThreads("original");
    original->SetFunction(&ReturnTwelve);
    QORThreads copy(*original);
    delete original;
    ASSERT_EQ(copy.Run(), 0);
    copy.Join();
    EXPECT_EQ(copy.GetThreadReturnCode(), 12);
}

TEST(QORThreads, TheListFindsAThreadByItsRecordWithoutAskingTheObject) {
    Job job;
    WithAnotherId thread;
    thread.SetFunction(&WaitAtTheGate, &job);
    ASSERT_EQ(thread.Run(), 0);
    ASSERT_TRUE(job.WaitStarted());
    EXPECT_EQ(job.seenFromInside, &thread);
    EXPECT_EQ(QORListThreadsMain()->FindThread(0x7FFFFFFE), nullptr);
    job.Open();
    thread.Join();
}

TEST(QORThreads, ObjectsDestroyedRightAfterRunNeverCrashTheirThreads) {
    std::vector<ZYNSysKernelHandle> threads;
    for (int i = 0; i < 50; ++i) {
        auto* thread = new QORThreads;
        thread->SetFunction(&ReturnAtOnce);
        ASSERT_EQ(thread->Run(), 0);
        threads.push_back(DuplicateThreadHandle(*thread));
        delete thread;
    }
    for (ZYNSysKernelHandle& t : threads) EXPECT_EQ(::WaitForSingleObject(t.Get(), 5000), WAIT_OBJECT_0);
}

TEST(QORThreads, TwoJoinsAndAKillRacingCloseTheHandleOnce) {
    // Handles made while the joiners wake take the lowest free values: a thread handle closed
    // twice closes one of them.
    int canaryFailures = 0;
    for (int round = 0; round < 40; ++round) {
        Job job;
        QORThreads thread;
        thread.SetFunction(&WaitAtTheGate, &job);
        ASSERT_EQ(thread.Run(), 0);
        ASSERT_TRUE(job.WaitStarted());
        std::thread first([&] { thread.Join(); });
        std::thread second([&] { thread.Join(); });
        ::Sleep(round % 3);
        thread.Kill(3);
        HANDLE canaries[8];
        for (HANDLE& c : canaries) c = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        first.join();
        second.join();
        for (HANDLE c : canaries) {
            if (::WaitForSingleObject(c, 0) != WAIT_TIMEOUT) ++canaryFailures;
            ::CloseHandle(c);
        }
        EXPECT_EQ(ZYNSysGetThreadHandle(thread), nullptr);
    }
    EXPECT_EQ(canaryFailures, 0);
}

TEST(QORThreads, ARunNotJoinedLeavesNoHandleBehindTheNextRun) {
    QORThreads thread;
    thread.SetFunction(&ReturnAtOnce);
    ASSERT_EQ(thread.Run(), 0);
    HANDLE first = ZYNSysGetThreadHandle(thread);
    const DWORD firstId = ::GetThreadId(first);
    ASSERT_EQ(::WaitForSingleObject(first, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(thread.Run(), 0);
    // Closed, or already reused for the new thread: never still the old thread's.
    EXPECT_NE(::GetThreadId(first), firstId);
    thread.Join();
}

TEST(QORThreads, AThreadLeavingThroughExitThreadGivesItsHandleBackToJoin) {
    Job job;
    job.returnCode = 3;
    QORThreads thread;
    thread.SetFunction(&LeaveThroughExitThread, &job);
    ASSERT_EQ(thread.Run(), 0);
    HANDLE handle = ZYNSysGetThreadHandle(thread);
    const DWORD id = ::GetThreadId(handle);
    thread.Join();
    EXPECT_EQ(thread.IsRunning(), kRunning);  // it never came back to end itself
    EXPECT_NE(::GetThreadId(handle), id);     // closed: nothing keeps the thread
    thread.Kill(9);                           // no handle, no id to trust: nothing to terminate
    EXPECT_EQ(thread.GetStatus() & (kRunning | kEnded), kEnded);
}

namespace {

// Fails the first start, as CreateThread does without memory for a stack.
class FailingOnceStarter final : public ZYNSysThreadStarter {
public:
    HANDLE Start(LPTHREAD_START_ROUTINE entry, void* argument, DWORD flags, DWORD* id) override {
        if (failures_++ == 0) {
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return ::CreateThread(nullptr, 0, entry, argument, flags, id);
    }

private:
    int failures_ = 0;
};

}  // namespace

TEST(QORThreads, ARunThatCouldNotStartLeavesTheObjectStartable) {
    FailingOnceStarter starter;
    ZYNSysSetThreadStarter(&starter);
    QORThreads thread;
    thread.SetFunction(&ReturnAtOnce);
    EXPECT_EQ(thread.Run(), -1);
    EXPECT_EQ(thread.GetStatus() & 2u, 0u);
    EXPECT_EQ(thread.Run(), 0);
    thread.Join();
    EXPECT_EQ(thread.GetThreadReturnCode(), 0);
    ZYNSysSetThreadStarter(nullptr);
}

TEST(QORThreads, SixteenThreadsMakeAndDestroyObjectsWhileTheListIsSearched) {
    // A listed thread the walker must keep finding among objects that come and go.
    Job job;
    QORThreads runner("listed");
    runner.SetFunction(&WaitAtTheGate, &job);
    ASSERT_EQ(runner.Run(), 0);
    ASSERT_TRUE(job.WaitStarted());
    const std::uint32_t runnerId = runner.GetThreadId();
    const int listedBefore = CountListed();
    std::atomic<bool> stop{false};
    std::atomic<int> passes{0};
    std::atomic<int> misses{0};
    std::thread walker([&] {
        do {
            QORListThreads* list = QORListThreadsMain();
            if (!list || list->FindThread(runnerId) != &runner || list->FindThread(0x7FFFFFFF) != nullptr) ++misses;
            ++passes;
        } while (!stop);
    });
    // The makers start only once the walker has searched: it always overlaps them.
    while (passes == 0) std::this_thread::yield();
    std::vector<std::thread> makers;
    for (int i = 0; i < 16; ++i)
        makers.emplace_back([] {
            for (int j = 0; j < 50; ++j) {
                QORThreads thread;
                thread.SetFunction(&ReturnAtOnce);
                if (j % 5 == 0 && thread.Run() == 0) thread.Join();
                QORThreads copy(thread);
            }
        });
    for (std::thread& t : makers) t.join();
    stop = true;
    walker.join();
    EXPECT_EQ(misses.load(), 0) << "in " << passes.load() << " passes";
    EXPECT_EQ(CountListed(), listedBefore);
    job.Open();
    runner.Join();
}

TEST(QORThreads, ObjectsWithoutAThreadAnswerAtOnce) {
    QORThreads never;
    never.Join();
    EXPECT_EQ(never.GetThreadReturnCode(), 1);
    EXPECT_EQ(never.GetThreadId(), 0u);
    EXPECT_EQ(ZYNSysGetThreadHandle(never), nullptr);
    QORListThreads list;
    EXPECT_EQ(list.RemoveThread(&never), 1);
    EXPECT_EQ(list.RemoveThread(nullptr), 1);
    list.AddThread(nullptr);
    EXPECT_EQ(list.GetFirst(), nullptr);
    struct Case {
        std::uint32_t a, b;
        int expected;
    };
    for (const Case& c : {Case{1, 1, 1}, Case{1, 2, 0}, Case{0, 0xFFFFFFFF, 0}})
        EXPECT_EQ(QORThreads::CompareThreadId(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

// Once-per-process state: each case in a fresh process.

namespace {

std::atomic<int> g_order{0};
int g_seen[3] = {};
void First() { g_seen[0] = ++g_order; }
void Second() { g_seen[1] = ++g_order; }
void Later() { g_seen[2] = ++g_order; }

}  // namespace

VAROMET_CHILD_CASE(FirstThreadCallbacks) {
    const long nullAnswer = QORSysCallOnFirstThread(nullptr);
    QORSysCallOnFirstThread(&First);
    QORSysCallOnFirstThread(&Second);
    const int beforeAnyObject = g_order;
    QORThreads thread;
    const int afterTheFirst = g_order;
    QORSysCallOnFirstThread(&Later);
    QORThreads* main = QORThreads::GetMainThread();
    std::printf("null=0x%lx before=%d after=%d order=%d,%d,%d main=%s running=%u mine=%d handle=%d current=%d",
                static_cast<unsigned long>(nullAnswer), beforeAnyObject, afterTheFirst, g_seen[0], g_seen[1],
                g_seen[2], main ? "yes" : "no", main ? main->IsRunning() : 0,
                main && main->GetThreadId() == ::GetCurrentThreadId(),
                main && ZYNSysGetThreadHandle(*main) != nullptr, QORThreads::GetCurrentThread() == main);
    return 0;
}

TEST(QORThreads, FirstThreadCallbacksRunInOrderAtTheFirstObjectAndLaterOnesAtOnce) {
    ChildProcess::Result child = ChildProcess::Run("FirstThreadCallbacks");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_EQ(child.output,
              "null=0x80004005 before=0 after=2 order=1,2,3 main=yes running=4 mine=1 handle=0 current=1");
}

VAROMET_CHILD_CASE(AlreadyRunningFlag) {
    QORThreads adopted(nullptr, nullptr, -1, 0, 1);
    std::printf("running=%u mine=%d", adopted.IsRunning(), adopted.GetThreadId() == ::GetCurrentThreadId());
    return 0;
}

TEST(QORThreads, AlreadyRunningFlagSaysItShouldNeverBeUsedAndAdoptsTheCaller) {
    ChildProcess::Result child = ChildProcess::Run("AlreadyRunningFlag");
    ASSERT_TRUE(child.started) << child.output;
    // Standard output is in text mode: the line ends in CR LF.
    EXPECT_EQ(child.output,
              " Argument IThreadAlreadyRunning in QORThreads constructor should never be used ! Please contact "
              "QORThreads responsible.\r\nrunning=4 mine=1");
}

namespace {

int PrintProcessors(const wchar_t* value) {
    if (value) ::SetEnvironmentVariableW(L"QORSysMultiThreading", value);
    else ::SetEnvironmentVariableW(L"QORSysMultiThreading", nullptr);
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    std::printf("allowed=%d one=%d real=%d", QORThreads::IsMultiThreadingAllowed(),
                QORThreads::GetProcessorsNumber() == 1,
                QORThreads::GetProcessorsNumber() == static_cast<int>(info.dwNumberOfProcessors));
    return 0;
}

}  // namespace

VAROMET_CHILD_CASE(MultiThreadingFALSE) { return PrintProcessors(L"FALSE"); }
VAROMET_CHILD_CASE(MultiThreadingLowerCase) { return PrintProcessors(L"false"); }
VAROMET_CHILD_CASE(MultiThreadingUnset) { return PrintProcessors(nullptr); }

TEST(QORThreads, OnlyTheExactValueFALSEAllowsOneProcessor) {
    struct Case {
        const char* childCase;
        const char* expected;
    };
    const Case cases[] = {
        {"MultiThreadingFALSE", "allowed=0 one=1 real=0"},
        {"MultiThreadingLowerCase", "allowed=1 one=0 real=1"},
        {"MultiThreadingUnset", "allowed=1 one=0 real=1"},
    };
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    if (info.dwNumberOfProcessors == 1) GTEST_SKIP() << "one processor: the cases look alike";
    for (const Case& c : cases) {
        ChildProcess::Result child = ChildProcess::Run(c.childCase);
        ASSERT_TRUE(child.started) << c.childCase << ": " << child.output;
        EXPECT_EQ(child.output, c.expected) << c.childCase;
    }
}

namespace {

std::atomic<int> g_callbackRuns{0};
void CountRun() { ++g_callbackRuns; }

}  // namespace

// Threads queue callbacks while others make the first objects: none is lost or run twice.
VAROMET_CHILD_CASE(CallbacksQueuedDuringTheFirstObjects) {
    constexpr int kQueuers = 8, kEach = 100;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kQueuers; ++i)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            for (int j = 0; j < kEach; ++j) QORSysCallOnFirstThread(&CountRun);
        });
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            while (!go) std::this_thread::yield();
            ::Sleep(1);
            QORThreads thread;
        });
    go = true;
    for (std::thread& t : threads) t.join();
    // Only a main-thread record runs here.
    int running = 0;
    for (QORListThreadsElem* e = GetFirstThreadsFromMainList(); e; e = e->GetNext())
        running += e->GetThread()->IsRunning() != 0;
    std::printf("runs=%d main=%d", g_callbackRuns.load(), running);
    return 0;
}

TEST(QORThreads, CallbacksQueuedWhileTheFirstObjectsAreMadeRunExactlyOnce) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        ChildProcess::Result child = ChildProcess::Run("CallbacksQueuedDuringTheFirstObjects");
        ASSERT_TRUE(child.started) << child.output;
        EXPECT_EQ(child.output, "runs=800 main=1") << "attempt " << attempt;
    }
}

// The fake "QORSysTS.dll" beside the program records every switch with its thread.
VAROMET_CHILD_CASE(LocaleSwitchAroundTheThreadFunction) {
    using Read = int (*)(DWORD*, int*, int);
    static Read read = nullptr;
    static std::uint32_t countInside = 0;
    QORThreads thread;
    thread.SetFunction([](void*) {
        if (!read) {
            HMODULE module = ::GetModuleHandleW(L"QORSysTS.dll");
            void* found = module ? reinterpret_cast<void*>(::GetProcAddress(module, "FakeLocaleSwitches")) : nullptr;
            read = reinterpret_cast<Read>(found);
        }
        DWORD ids[4];
        int values[4];
        countInside = read ? static_cast<std::uint32_t>(read(ids, values, 4)) : 99;
        return 0;
    });
    thread.Run();
    const std::uint32_t id = thread.GetThreadId();
    thread.Join();
    if (!read) {
        std::printf("module not loaded");
        return 1;
    }
    DWORD ids[4];
    int values[4];
    const int n = read(ids, values, 4);
    std::printf("inside=%u switches=%d", countInside, n);
    for (int i = 0; i < n && i < 4; ++i) std::printf(" %d%s", values[i], ids[i] == id ? "@thread" : "@other");
    return 0;
}

TEST(QORThreads, TheLocaleSwitchIsOnAroundTheThreadFunctionOnItsOwnThread) {
    ChildProcess::Result child = ChildProcess::Run("LocaleSwitchAroundTheThreadFunction");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.output, "inside=1 switches=2 1@thread 0@thread");
}
