#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORMutex.h"
#include "QORResourceLock.h"
#include "ZYNSysSRWLockAPI.h"

namespace {

using Clock = std::chrono::steady_clock;

// TryLock from another thread: 0 = it got the mutex (and let it go again), 1 = busy.
int TryLockFromAnotherThread(QORMutex& mutex) {
    int answer = -1;
    std::thread([&] {
        answer = mutex.TryLock();
        if (answer == 0) mutex.Unlock();
    }).join();
    return answer;
}

// Runs body on n threads that start together (an atomic gate: std::latch loses wake-ups on Wine).
template <typename Body>
void RunTogether(int n, Body body) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (!go) std::this_thread::yield();
            body(i);
        });
    while (ready < n) std::this_thread::yield();
    go = true;
    for (std::thread& t : threads) t.join();
}

// Waits until flag is set, at most 5 s.
bool Eventually(const std::atomic<bool>& flag) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!flag && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag;
}

// The system without "SleepConditionVariableSRW": seven names found, the eighth not.
class LookupWithoutTheLastName final : public ZYNSysSRWLockLookup {
public:
    FARPROC Find(const char* name) override {
        if (std::strcmp(name, "SleepConditionVariableSRW") == 0) return nullptr;
        return ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name);
    }
};

// The real entry points, found slowly: the other threads arrive while the table is being filled.
class SlowLookup final : public ZYNSysSRWLockLookup {
public:
    FARPROC Find(const char* name) override {
        ::Sleep(5);
        return ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name);
    }
};

// A thread that takes the lock for writing once and says when it is in.
class Writer {
public:
    explicit Writer(QORResourceLock& lock)
        : thread_([this, &lock] {
              lock.WriteLock();
              writing_ = true;
              lock.WriteUnlock();
          }) {}
    ~Writer() { thread_.join(); }
    bool Writing() const { return writing_; }
    bool EventuallyWriting() const { return Eventually(writing_); }

private:
    std::atomic<bool> writing_{false};
    std::thread thread_;
};

}  // namespace

TEST(QORMutex, DefaultMutexIsRecursiveAndHeldUntilTheLastUnlock) {
    QORMutex mutex;
    mutex.Lock();
    mutex.Lock();
    EXPECT_EQ(TryLockFromAnotherThread(mutex), 1);
    mutex.Unlock();
    EXPECT_EQ(TryLockFromAnotherThread(mutex), 1);
    mutex.Unlock();
    EXPECT_EQ(TryLockFromAnotherThread(mutex), 0);
}

TEST(QORMutex, SmartMutexIsRecursiveWhateverItsArgument) {
    for (int reserved : {0, 7}) {
        QORSmartMutex mutex(reserved);
        mutex.Lock();
        EXPECT_EQ(mutex.TryLock(), 0) << reserved;  // its owner gets it again
        mutex.Unlock();
        EXPECT_EQ(TryLockFromAnotherThread(mutex), 1) << reserved;
        mutex.Unlock();
        EXPECT_EQ(TryLockFromAnotherThread(mutex), 0) << reserved;
    }
}

TEST(QORMutex, LockNowReturnsHeldAndSlimMutexRefusesEvenItsOwner) {
    QORMutex mutex(1, 0, 0);
    ASSERT_TRUE(mutex.IsCreated());
    EXPECT_EQ(TryLockFromAnotherThread(mutex), 1);
    EXPECT_EQ(mutex.TryLock(), 1);  // not recursive
    mutex.Unlock();
    EXPECT_EQ(TryLockFromAnotherThread(mutex), 0);
    EXPECT_EQ((mutex.*QORMutex::TryLockF)(), 0);
    (mutex.*QORMutex::UnlockF)();
}

TEST(QORMutex, GlobalMutexAnswersOnlyItsTwoOperations) {
    struct Case {
        const char* name;
        int operation;
        const char* lockName;
        int reserved;
        int expected;
    };
    const Case cases[] = {
        {"operation 3", 3, nullptr, 0, -1},
        {"lock with a name", 1, "name", 0, -1},
        {"lock with a reserved value", 1, nullptr, 7, -1},
        {"lock", 1, nullptr, 0, 1},
        {"unlock", 2, nullptr, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QORSysMTGlobalMutex(c.operation, c.lockName, c.reserved), c.expected) << c.name;
        if (c.expected != -1) continue;
        // A refused call leaves the mutex free: another thread gets it at once.
        std::atomic<bool> got{false};
        std::thread([&] {
            QORSysMTGlobalMutex(1, nullptr, 0);
            got = true;
            QORSysMTGlobalMutex(2, nullptr, 0);
        }).join();
        EXPECT_TRUE(got) << c.name;
    }
    EXPECT_EQ(QORMutex::_mutexGlobal.TryLock(), 0);
    QORMutex::_mutexGlobal.Unlock();
}

// The process-wide mutex and the slim entry points, made on first use, are not counted below.
void WarmUp() {
    QORMutex slim(0, 0, 0);
    QORResourceLock slimLock(0);
}

TEST(QORMutex, CopiesShareOneImplementationFreedOnce) {
    WarmUp();
    const long mutexes = QORMutexLiveImplCount();
    const long locks = QORResourceLockLiveImplCount();
    {
        QORMutex mutex;
        QORResourceLock lock(0);
        {
            QORMutex copy(mutex);
            QORMutex assigned(0, 0, 0);
            assigned = mutex;
            assigned = assigned;
            QORResourceLock lockCopy(lock);
            QORResourceLock lockAssigned(0);
            lockAssigned = lock;
            EXPECT_EQ(QORMutexLiveImplCount(), mutexes + 1);
            EXPECT_EQ(QORResourceLockLiveImplCount(), locks + 1);
            assigned.Lock();
            EXPECT_EQ(TryLockFromAnotherThread(mutex), 1);
            assigned.Unlock();
        }
        EXPECT_EQ(QORMutexLiveImplCount(), mutexes + 1);
        EXPECT_EQ(TryLockFromAnotherThread(mutex), 0);
    }
    EXPECT_EQ(QORMutexLiveImplCount(), mutexes);
    EXPECT_EQ(QORResourceLockLiveImplCount(), locks);
}

TEST(QORMutex, OnceOnlyCreatorsRacedFromSixteenThreadsLeaveOneObject) {
    WarmUp();
    const long mutexes = QORMutexLiveImplCount();
    const long locks = QORResourceLockLiveImplCount();
    QORMutex* mutex = nullptr;
    QORResourceLock* lock = nullptr;
    std::vector<QORMutex*> seenMutex(16);
    std::vector<QORResourceLock*> seenLock(16);
    RunTogether(16, [&](int i) {
        ZYNCreateMutex(mutex, 1);
        ZYNCreateResourceLock(lock, 1);
        seenMutex[i] = mutex;
        seenLock[i] = lock;
    });
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(lock, nullptr);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(seenMutex[i], mutex) << "thread " << i;
        EXPECT_EQ(seenLock[i], lock) << "thread " << i;
    }
    EXPECT_EQ(QORMutexLiveImplCount(), mutexes + 2);  // the lock's waiting point has a mutex too
    EXPECT_EQ(QORResourceLockLiveImplCount(), locks + 1);

    QORMutex* const first = mutex;
    ZYNCreateMutex(mutex, 2);
    EXPECT_EQ(mutex, first);
    ZYNCreateMutex(mutex, 0);
    EXPECT_NE(mutex, first);
    delete first;
    delete mutex;
    delete lock;
}

// 16 threads of a fresh process come, staggered, while the first lookup of the entry points runs
// (slowed down to 40 ms): each must see a full table or a working slim lock, never a half-filled one.
int SixteenThreadsDuringTheFirstLookup(bool direct) {
    static SlowLookup lookup;
    ZYNSysSetSRWLockLookup(&lookup);
    std::atomic<int> failures{0};
    RunTogether(16, [&](int i) {
        ::Sleep(static_cast<DWORD>(i % 8) * 5);
        if (direct) {
            ZYNSysSRWLockTable table{};
            if (ZYNSysLoadSRWLockAPI(&table) != S_OK || !table.initialize || !table.sleepConditionVariable)
                ++failures;
            return;
        }
        QORMutex mutex(0, 0, 0);
        mutex.Lock();
        if (mutex.TryLock() != 1) ++failures;  // a critical section would let its owner in
        mutex.Unlock();
        QORResourceLock lock(0);
        lock.ReadLock();
        lock.ReadUnlock();
        lock.WriteLock();
        lock.WriteUnlock();
    });
    std::printf("failures=%d", failures.load());
    return 0;
}

VAROMET_CHILD_CASE(SixteenThreadsMakeTheFirstSlimLocks) { return SixteenThreadsDuringTheFirstLookup(false); }
VAROMET_CHILD_CASE(SixteenThreadsLoadTheEntryPoints) { return SixteenThreadsDuringTheFirstLookup(true); }

TEST(QORMutex, SixteenThreadsDuringTheFirstLookupAllGetAFullTable) {
    for (const char* name : {"SixteenThreadsMakeTheFirstSlimLocks", "SixteenThreadsLoadTheEntryPoints"}) {
        ChildProcess::Result child = ChildProcess::Run(name);
        ASSERT_TRUE(child.started) << name << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << name << ": " << child.output;
        EXPECT_EQ(child.output, "failures=0") << name;
    }
}

VAROMET_CHILD_CASE(SlimLockEntryPointMissing) {
    static LookupWithoutTheLastName lookup;
    ZYNSysSetSRWLockLookup(&lookup);
    ZYNSysSRWLockTable table{};
    const HRESULT status = ZYNSysLoadSRWLockAPI(&table);
    QORMutex mutex(0, 0, 0);
    mutex.Lock();
    const int ownerRelocks = mutex.TryLock();  // 0: a recursive critical section
    std::printf("status=0x%lx table=%s created=%d ownerTryLock=%d", static_cast<unsigned long>(status),
                table.initialize ? "filled" : "empty", mutex.IsCreated(), ownerRelocks);
    return 0;
}

TEST(QORMutex, MissingSlimLockEntryPointFallsBackToACriticalSection) {
    ChildProcess::Result child = ChildProcess::Run("SlimLockEntryPointMissing");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_EQ(child.output, "status=0x80004005 table=empty created=1 ownerTryLock=0");
}

class QORResourceLockKinds : public ::testing::TestWithParam<unsigned char> {};

TEST_P(QORResourceLockKinds, NoReaderIsEverInsideWithAWriter) {
    QORResourceLock lock(GetParam());
    std::atomic<int> readers{0}, writers{0}, violations{0};
    RunTogether(10, [&](int i) {
        if (i < 8) {
            for (int n = 0; n < 2000; ++n) {
                lock.ReadLock();
                ++readers;
                if (writers != 0) ++violations;
                --readers;
                lock.ReadUnlock();
            }
        } else {
            for (int n = 0; n < 200; ++n) {
                lock.WriteLock();
                if (++writers != 1 || readers != 0) ++violations;
                --writers;
                lock.WriteUnlock();
            }
        }
    });
    EXPECT_EQ(violations, 0);
}

TEST_P(QORResourceLockKinds, AWriterWaitsForTheLastReadUnlock) {
    QORResourceLock lock(GetParam());
    lock.ReadLock();
    lock.ReadLock();
    const Writer writer(lock);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writer.Writing());
    lock.ReadUnlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(writer.Writing());
    lock.ReadUnlock();
    EXPECT_TRUE(writer.EventuallyWriting());
}

INSTANTIATE_TEST_SUITE_P(WaitingPointAndSlim, QORResourceLockKinds, ::testing::Values(1, 0),
                         [](const auto& info) { return info.param ? "WaitingPoint" : "Slim"; });

// Releasing an SRW lock that is not held is the caller's fault and undefined; the waiting-point
// lock guards its count.
TEST(QORResourceLockWP, AStrayReadUnlockNeverLetsAWriterInBesideAReader) {
    QORResourceLock lock(1);
    lock.ReadUnlock();
    lock.ReadLock();
    const Writer writer(lock);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(writer.Writing());
    lock.ReadUnlock();
    EXPECT_TRUE(writer.EventuallyWriting());
}
