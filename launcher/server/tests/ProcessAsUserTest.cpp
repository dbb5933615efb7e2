// Programs started as a session's user or as this process's user, in a job of their own when
// asked: real children (the exec helper), the session's token as the platform gives it.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "LauncherTestSupport.h"
#include "ProcessAsUser.h"

namespace {

constexpr DWORD kFlags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;

std::wstring HelperLine(const std::wstring& arguments) {
    return L"\"" + BuiltProgram(VAROMET_EXEC_HELPER_EXE) + L"\" " + arguments;
}

struct Case {
    const char* name;
    std::optional<std::uint32_t> session;
    bool inJob;
};
const Case kCases[] = {
    {"session user, job", 1, true},
    {"own user, job", std::nullopt, true},
    {"session user, no job", 1, false},
    {"own user, no job", std::nullopt, false},
};

// A program started suspended for its job runs once it is there.
TEST(ProcessAsUser, StartedProgramRunsToItsOwnExitCode) {
    for (const Case& c : kCases) {
        const ProcessStart start = StartProcessAsUser({c.session, HelperLine(L"exit 4"), kFlags, c.inJob});
        ASSERT_EQ(start.failed, ProcessStartStep::None) << c.name << ": error " << start.error;
        EXPECT_EQ(::GetProcessId(start.process.Process()), start.process.ProcessId()) << c.name;
        EXPECT_EQ(::GetThreadId(start.process.Thread()), start.process.ThreadId()) << c.name;
        EXPECT_EQ(start.process.Job() != nullptr, c.inJob) << c.name;
        ASSERT_EQ(::WaitForSingleObject(start.process.Process(), 15000), WAIT_OBJECT_0) << c.name;
        DWORD code = 0;
        EXPECT_TRUE(::GetExitCodeProcess(start.process.Process(), &code)) << c.name;
        EXPECT_EQ(code, 4u) << c.name;
    }
}

TEST(ProcessAsUser, ProgramInAJobEndsWhenItsOwnerLetsGo) {
    for (const Case& c : kCases) {
        if (!c.inJob) continue;
        ProcessStart start = StartProcessAsUser({c.session, HelperLine(L"sleep 30000"), kFlags, true});
        ASSERT_EQ(start.failed, ProcessStartStep::None) << c.name << ": error " << start.error;
        BOOL inJob = FALSE;
        EXPECT_TRUE(::IsProcessInJob(start.process.Process(), start.process.Job(), &inJob) && inJob) << c.name;
        ZYNSysKernelHandle watched(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, start.process.ProcessId()));
        ASSERT_TRUE(watched) << c.name;
        start.process.Reset();
        EXPECT_EQ(::WaitForSingleObject(watched.Get(), 5000), WAIT_OBJECT_0) << c.name;
        ::TerminateProcess(watched.Get(), 99);
    }
}

TEST(ProcessAsUser, FailedCreationReportsItsStepAndTheSystemError) {
    TestFolder folder;
    for (const Case& c : kCases) {
        const ProcessStart start =
            StartProcessAsUser({c.session, L"\"" + folder.In(L"missing.exe") + L"\"", kFlags, c.inJob});
        EXPECT_EQ(start.failed, ProcessStartStep::Create) << c.name;
        EXPECT_EQ(start.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << c.name;
        EXPECT_FALSE(start.process) << c.name;
        EXPECT_FALSE(start.environmentNotDestroyed) << c.name;
    }
}

}  // namespace
