#include "ProcessAsUser.h"

#include <wtsapi32.h>

#include <utility>

#include "ZYNSysEnvironmentBlock.h"

namespace {

constexpr DWORD kJobLimits = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK |
                             JOB_OBJECT_LIMIT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
static_assert(kJobLimits == 0x3808);

ProcessStart Failure(ProcessStartStep step, DWORD error, bool environmentNotDestroyed = false) {
    ProcessStart start;
    start.failed = step;
    start.error = error;
    start.environmentNotDestroyed = environmentNotDestroyed;
    return start;
}

// Ends a process that was created for a job unless it got there: left alone it would
// outlive its owner. The guard covers every way out, an exception included.
struct EndUnlessInJob {
    HANDLE process;
    bool inJob = false;
    ~EndUnlessInJob() {
        if (!inJob) ::TerminateProcess(process, 1);
    }
};

}  // namespace

StartedProcess::StartedProcess(StartedProcess&& other) noexcept
    : job_(std::move(other.job_)),
      process_(std::move(other.process_)),
      thread_(std::move(other.thread_)),
      processId_(std::exchange(other.processId_, 0)),
      threadId_(std::exchange(other.threadId_, 0)) {}

StartedProcess& StartedProcess::operator=(StartedProcess&& other) noexcept {
    if (this != &other) {
        Reset();
        job_ = std::move(other.job_);
        process_ = std::move(other.process_);
        thread_ = std::move(other.thread_);
        processId_ = std::exchange(other.processId_, 0);
        threadId_ = std::exchange(other.threadId_, 0);
    }
    return *this;
}

void StartedProcess::Reset() {
    thread_.Reset();
    process_.Reset();
    job_.Reset();
    processId_ = 0;
    threadId_ = 0;
}

ProcessStart StartProcessAsUser(const ProcessStartRequest& request) {
    std::wstring commandLine = request.commandLine;  // CreateProcess may write into it
    const DWORD flags = request.creationFlags | (request.inJob ? CREATE_SUSPENDED : 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    bool environmentNotDestroyed = false;
    if (request.session) {
        ZYNSysKernelHandle token;
        if (!::WTSQueryUserToken(*request.session, token.Put()))
            return Failure(ProcessStartStep::Token, ::GetLastError());
        ZYNSysEnvironmentBlock environment;
        if (!::CreateEnvironmentBlock(environment.Put(), token.Get(), TRUE)) {
            const DWORD error = ::GetLastError();
            // What a failed call left in the slot is not a block to destroy.
            static_cast<void>(environment.Take());
            return Failure(ProcessStartStep::Environment, error);
        }
        const BOOL created = ::CreateProcessAsUserW(token.Get(), nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                                    flags, environment.Get(), nullptr, &startup, &info);
        const DWORD error = created ? ERROR_SUCCESS : ::GetLastError();
        token.Reset();
        environmentNotDestroyed = !::DestroyEnvironmentBlock(environment.Take());
        if (!created) return Failure(ProcessStartStep::Create, error, environmentNotDestroyed);
    } else if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                 &startup, &info)) {
        return Failure(ProcessStartStep::Create, ::GetLastError());
    }

    ProcessStart start;
    start.environmentNotDestroyed = environmentNotDestroyed;
    StartedProcess& process = start.process;
    process.process_.Reset(info.hProcess);
    process.thread_.Reset(info.hThread);
    process.processId_ = info.dwProcessId;
    process.threadId_ = info.dwThreadId;
    if (!request.inJob) return start;

    EndUnlessInJob pending{process.Process()};
    ZYNSysKernelHandle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = kJobLimits;
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
    if (!job || !::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return Failure(ProcessStartStep::Job, ::GetLastError(), environmentNotDestroyed);
    if (!::AssignProcessToJobObject(job.Get(), process.Process()))
        return Failure(ProcessStartStep::Assign, ::GetLastError(), environmentNotDestroyed);
    pending.inJob = true;
    process.job_ = std::move(job);
    if (::ResumeThread(process.Thread()) == static_cast<DWORD>(-1)) {
        const DWORD error = ::GetLastError();
        ::TerminateJobObject(process.Job(), 1);
        return Failure(ProcessStartStep::Resume, error, environmentNotDestroyed);
    }
    return start;
}
