#pragma once
// Starting a program as the user of a desktop session (that user's token and environment) or
// as this process's user, and in a job of its own when asked: the extensions, the spinner and
// the command runner all start their processes this way, and each logs the steps in its words.

#include <cstdint>
#include <optional>
#include <string>

#include "ZYNSysKernelHandle.h"

struct ProcessStart;
struct ProcessStartRequest;

// The handles and ids of a started process, and its job when it has one. The job is closed
// last: with it goes, killed on close, whatever still runs in it.
class StartedProcess {
public:
    StartedProcess() = default;
    StartedProcess(StartedProcess&& other) noexcept;
    StartedProcess& operator=(StartedProcess&& other) noexcept;

    explicit operator bool() const { return static_cast<bool>(process_); }
    HANDLE Process() const { return process_.Get(); }
    HANDLE Thread() const { return thread_.Get(); }
    HANDLE Job() const { return job_.Get(); }
    DWORD ProcessId() const { return processId_; }
    DWORD ThreadId() const { return threadId_; }
    // Closes the thread, the process, then the job.
    void Reset();

private:
    friend ProcessStart StartProcessAsUser(const ProcessStartRequest& request);
    ZYNSysKernelHandle job_;  // declared first, so destroyed last
    ZYNSysKernelHandle process_;
    ZYNSysKernelHandle thread_;
    DWORD processId_ = 0;
    DWORD threadId_ = 0;
};

struct ProcessStartRequest {
    // The desktop session whose user runs the program; none: this process's user, with this
    // process's environment.
    std::optional<std::uint32_t> session;
    std::wstring commandLine;
    DWORD creationFlags = 0;
    // Created suspended, put in a job of its own (killed on close, one active process,
    // breakaway allowed), then resumed: it never runs outside the job.
    bool inJob = false;
};

// The step at which a start failed; None when the process runs.
enum class ProcessStartStep { None, Token, Environment, Create, Job, Assign, Resume };

struct ProcessStart {
    StartedProcess process;  // empty unless the start succeeded
    ProcessStartStep failed = ProcessStartStep::None;
    DWORD error = ERROR_SUCCESS;  // the system's error of the failed step
    // The user's environment block could not be destroyed after the creation (which went on).
    bool environmentNotDestroyed = false;
};

// Starts the program, inheriting handles, with a zeroed STARTUPINFO. A process that was
// created but could not be put in its job, or resumed there, is ended before it ran.
ProcessStart StartProcessAsUser(const ProcessStartRequest& request);
