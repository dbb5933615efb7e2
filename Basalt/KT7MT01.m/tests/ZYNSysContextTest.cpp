#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "QORThreads.h"
#include "ZYNSysContext.h"
#include "ZYNSysContextData.h"

// The root, the last-set context and the TLS index are process-wide: each case runs in a fresh
// process and prints what it saw.

namespace {

// Made on first use: a context's data makes a trace client, which no static initialiser should.
ZYNSysContext& ContextA() {
    static ZYNSysContext context("A");
    return context;
}
ZYNSysContext& ContextB() {
    static ZYNSysContext context("B");
    return context;
}

const char* NameOf(ZYNSysContext* context) { return context ? context->GetName() : "none"; }

}  // namespace

VAROMET_CHILD_CASE(RootAndLastSetAcrossTwoThreads) {
    std::string seen = NameOf(ZYNSysContextGetCurrentContext());
    ZYNSysContextSetCurrentContext(&ContextA());
    seen += std::string(" ") + NameOf(ZYNSysContextGetCurrentContext());
    std::thread([&] {
        seen += std::string(" other:") + NameOf(ZYNSysContextGetCurrentContext());
        ZYNSysContextSetCurrentContext(&ContextB());
        seen += std::string(",") + NameOf(ZYNSysContextGetCurrentContext());
    }).join();
    // The main thread holds the root: the context set last, by any thread, stands in for it.
    seen += std::string(" main:") + NameOf(ZYNSysContextGetCurrentContext());
    std::thread([] { ZYNSysContextSetCurrentContext(nullptr); }).join();
    seen += std::string(",") + NameOf(ZYNSysContextGetCurrentContext());
    seen += std::string(" root:") + NameOf(ZYNSysContextGetRootContext());
    std::printf("%s", seen.c_str());
    return 0;
}

VAROMET_CHILD_CASE(FinalizeThenSet) {
    ZYNSysContextSetCurrentContext(&ContextA());
    const int finalized = ZYNSysContextFinalize();
    const int again = ZYNSysContextFinalize();
    // Another module gets a slot now, most likely the one just freed.
    const DWORD theirs = ::TlsAlloc();
    int mark = 0;
    ::TlsSetValue(theirs, &mark);
    const int set = ZYNSysContextSetCurrentContext(&ContextB());
    std::printf("finalized=%d again=%d set=%d theirs=%s current=%s", finalized, again, set,
                ::TlsGetValue(theirs) == &mark ? "kept" : "overwritten", NameOf(ZYNSysContextGetCurrentContext()));
    return 0;
}

// Initialising makes the index only when there is none: the thread's context stays set.
VAROMET_CHILD_CASE(InitializeMakesTheIndexWhenMissing) {
    const int made = ZYNSysContextInitialize();
    const int finalized = ZYNSysContextFinalize();
    ZYNSysContextSetCurrentContext(&ContextA());
    ZYNSysContextSetCurrentContext(&ContextB());
    const int again = ZYNSysContextInitialize();
    std::printf("initialize=%d finalize=%d again=%d current=%s", made, finalized, again,
                NameOf(ZYNSysContextGetCurrentContext()));
    return 0;
}

VAROMET_CHILD_CASE(SixteenThreadsSetTheirFirstContexts) {
    constexpr int kThreads = 16;
    std::vector<ZYNSysContext> contexts(kThreads);
    std::atomic<int> ready{0}, wrong{0};
    std::atomic<bool> go{false}, checked{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (!go) std::this_thread::yield();
            ZYNSysContextSetCurrentContext(&contexts[i]);
            --ready;
            while (ready != 0) std::this_thread::yield();
            // Not the root: the thread's own context, wherever the index ended up.
            if (&contexts[i] != ZYNSysContextGetRootContext() && ZYNSysContextGetCurrentContext() != &contexts[i])
                ++wrong;
        });
    while (ready < kThreads) std::this_thread::yield();
    go = true;
    for (std::thread& t : threads) t.join();
    std::printf("wrong=%d", wrong.load());
    return 0;
}

VAROMET_CHILD_CASE(ThreadObjectsRunInTheContextTheyWereMadeIn) {
    ZYNSysContextSetCurrentContext(&ContextA());
    ZYNSysContextSetCurrentContext(&ContextB());
    QORThreads thread;
    static ZYNSysContext* inside = nullptr;
    thread.SetFunction([](void*) {
        inside = ZYNSysContextGetCurrentContext();
        return 0;
    });
    thread.Run();
    thread.Join();
    std::printf("inside=%s after=%s", NameOf(inside), NameOf(ZYNSysContextGetCurrentContext()));
    return 0;
}

TEST(ZYNSysContext, CurrentRootAndLastSetContextsPerCase) {
    struct Case {
        const char* childCase;
        const char* expected;
    };
    const Case cases[] = {
        {"RootAndLastSetAcrossTwoThreads", "none A other:A,B main:B,A root:A"},
        {"FinalizeThenSet", "finalized=0 again=-1 set=0 theirs=kept current=B"},
        {"InitializeMakesTheIndexWhenMissing", "initialize=0 finalize=0 again=0 current=B"},
        {"SixteenThreadsSetTheirFirstContexts", "wrong=0"},
        {"ThreadObjectsRunInTheContextTheyWereMadeIn", "inside=B after=B"},
    };
    for (const Case& c : cases) {
        ChildProcess::Result child = ChildProcess::Run(c.childCase);
        ASSERT_TRUE(child.started) << c.childCase << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.childCase;
        EXPECT_EQ(child.output, c.expected) << c.childCase;
    }
}

VAROMET_CHILD_CASE(MainContextAndVariables) {
    ZYNSysContextManager* manager = ZYNSysGetContextManager();
    ZYNSysContext* main = nullptr;
    const int nullOut = manager->GetMainContext(nullptr);
    manager->GetMainContext(&main);
    const char* const mainEntries[] = {"ONLYMAIN=main", "SHARED=main", nullptr};
    main->GetData()->SetArray(0, mainEntries);
    // Then the arrays from the third to the first; a name matches only up to its "=".
    ZYNSysContext mine("Mine");
    const char* const first[] = {"SHARED=first", "ONE=first", nullptr};
    const char* const second[] = {"ONE=second", "TWO=second", "TW=short", nullptr};
    const char* const third[] = {"TWO=third", "EMPTY=", "HASHED=array", nullptr};
    mine.GetData()->SetArray(0, first);
    mine.GetData()->SetArray(1, second);
    mine.GetData()->SetArray(2, third);
    mine.GetData()->variables.Add("HASHED", "hash");  // the hash table comes before every array
    std::thread([&] {
        ZYNSysContextSetCurrentContext(&mine);
        std::string seen;
        for (const char* name : {"ONE", "TWO", "TW", "SHARED", "EMPTY", "ONLYMAIN", "HASHED", "T", "NONE"}) {
            const char* value = ZYNSysContextGetVariable(name);
            seen += std::string(name) + "=" + (value ? value : "(null)") + " ";
        }
        std::printf("%s", seen.c_str());
    }).join();
    std::printf("root=%s desc=%s state=%d null=%d", NameOf(ZYNSysContextGetRootContext()), main->GetDescription(),
                main->GetState(), nullOut);
    return 0;
}

TEST(ZYNSysContext, VariablesComeFromTheCurrentContextThenTheMainOne) {
    ChildProcess::Result child = ChildProcess::Run("MainContextAndVariables");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.output,
              "ONE=second TWO=third TW=short SHARED=first EMPTY= ONLYMAIN=main HASHED=hash T=(null) NONE=(null) "
              "root=Main desc=Main context. state=0 null=-1");
}

// Prints the name of the trace client a new context's data holds, or "none".
VAROMET_CHILD_CASE(ContextDataLifeCycleTrace) {
    ZYNSysContext context("Traced");
    ZYNSysTraceClient* client = context.GetData() ? context.GetData()->lifeCycle : nullptr;
    std::printf("%s", client && client->TraceName() ? client->TraceName() : "none");
    return 0;
}

TEST(ZYNSysContext, DataHoldsALifeCycleTraceClientWhenThatNameIsDeclared) {
    struct Case {
        const char* name;
        std::optional<std::wstring> trace;  // "ZYNSysTrace"
        const char* expected;
    };
    const Case cases[] = {
        {"declared", L"-o LifeCycle", "LifeCycle"},
        {"not declared", std::nullopt, "none"},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result child = ChildProcess::Run(
            "ContextDataLifeCycleTrace", {{L"ZYNSysTrace", c.trace}, {L"QORTraDecDir", std::nullopt}});
        ASSERT_TRUE(child.started) << c.name << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name;
        EXPECT_EQ(child.output, c.expected) << c.name;
    }
}
