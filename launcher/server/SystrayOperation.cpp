#include "SystrayOperation.h"

#include <string>

#include "Logger.h"
#include "OrdanaRequestInfo.h"
#include "SharedData.h"
#include "ToolBox.h"
#include "ZYNSysWin.h"
#include "ZYNSysEnvironmentBlock.h"
#include "ZYNSysKernelHandle.h"

#include <userenv.h>
#include <wtsapi32.h>

namespace {

constexpr std::int32_t kSpinnerType = 0;
constexpr std::int32_t kProgressType = 1;
constexpr std::uint32_t kProgressOver = 101;

// CREATE_NO_WINDOW | CREATE_BREAKAWAY_FROM_JOB | CREATE_UNICODE_ENVIRONMENT, and suspended so
// that the spinner runs nothing before it is inside its job.
constexpr DWORD kSpinnerCreation = 0x09000400 | CREATE_SUSPENDED;
// Active-process limit, breakaway allowed (silently too), killed when the job closes.
constexpr DWORD kSpinnerJobLimits = JOB_OBJECT_LIMIT_ACTIVE_PROCESS | JOB_OBJECT_LIMIT_BREAKAWAY_OK |
                                    JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;

const char* TypeName(std::int32_t type) {
    switch (type) {
        case kSpinnerType:
            return "SPINNER";
        case kProgressType:
            return "PROGRESS";
        default:
            return "UNKNOWN";
    }
}

}  // namespace

// ---- SystrayOperation ----

bool SystrayOperation::Start() {
    Logger::Debug(std::string("[SystrayOperation::Start]start operation : ") + TypeName(type_));
    if (started_) return true;
    started_ = StartInt();
    return started_;
}

void SystrayOperation::Stop() {
    Logger::Debug(std::string("[SystrayOperation::Stop]stop operation : ") + TypeName(type_));
    if (started_ && StopInt()) started_ = false;
}

void SystrayOperation::StopFromDestructor() noexcept {
    try {
        Stop();
    } catch (...) {
        // Nothing may leave a destructor; a stop that failed has logged what it could.
    }
}

// ---- Progress ----

Progress::Progress(const SystrayComs& coms, bool startNow) : SystrayOperation(coms, kProgressType) {
    if (startNow) Start();
}

// Stopped here, not in the base, while StopInt can still be called.
Progress::~Progress() { StopFromDestructor(); }

bool Progress::StartInt() {
    // A progress started again after its stop counts from zero: from 101 it could only hide.
    if (value_ == static_cast<std::int32_t>(kProgressOver)) value_ = 0;
    return coms_.post(SystrayComs::kProgressMessage, 0, value_, SystrayComs::kTrayClass);
}

bool Progress::Update(std::uint32_t value) {
    const bool started = IsStarted();
    if (started && static_cast<std::int64_t>(value_) <= static_cast<std::int64_t>(value) && value < kProgressOver) {
        Logger::Internal("[Progress::Update]update progress to [" + std::to_string(value) + "] was [" +
                         std::to_string(value_) + "].");
        value_ = static_cast<std::int32_t>(value);
        return coms_.post(SystrayComs::kProgressMessage, 0, value_, SystrayComs::kTrayClass);
    }
    Logger::Debug("[Progress::Update]<" + ToolBox::BoolToString(started) + ">{" + std::to_string(value_) + ">" +
                  std::to_string(value) +
                  "}update progress ignored due to :the progress is not started//progress regression//invalid "
                  "progress");
    return false;
}

bool Progress::StopInt() {
    value_ = static_cast<std::int32_t>(kProgressOver);
    return coms_.post(SystrayComs::kProgressMessage, 0, value_, SystrayComs::kTrayClass);
}

// ---- Spinner ----

Spinner::Spinner(const SystrayComs& coms, bool startNow) : SystrayOperation(coms, kSpinnerType) {
    if (startNow) Start();
}

Spinner::~Spinner() { StopFromDestructor(); }

bool Spinner::StartInt() {
    std::uint32_t session = 0;
    bool found = false;
    if (const OrdanaRequestInfo* request = coms_.RequestInfo()) found = SharedData::FindSessionId(*request, session);
    if (!found) found = ToolBox::GetActiveSessionId(session);
    if (!found) {
        Logger::Internal("[Spinner::StartInt]fail to retrive a valid session ID !");
        return false;
    }

    std::wstring commandLine = L"\"" + ToolBox::Utf8ToWide(coms_.GetSystrayExePath()) + L"\" --spinner";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    BOOL created = FALSE;
    if (!SystrayComs::LocalMode()) {
        HANDLE rawToken = nullptr;
        if (!::WTSQueryUserToken(session, &rawToken)) {
            Logger::Error("[Spinner::StartInt]Fail to retrieve user's token !");
            return false;
        }
        ZYNSysKernelHandle token(rawToken);
        void* block = nullptr;
        if (!::CreateEnvironmentBlock(&block, token.Get(), TRUE)) {
            Logger::Error("[Spinner::StartInt] Fail to create Environment objects!");
            return false;
        }
        ZYNSysEnvironmentBlock environment(block);
        Logger::InternalW(L"[Spinner::StartInt] Start process with command-line : " + commandLine);
        created = ::CreateProcessAsUserW(token.Get(), nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                         kSpinnerCreation, environment.Get(), nullptr, &startup, &info);
        token.Reset();
        if (!::DestroyEnvironmentBlock(environment.Take())) {
            Logger::Error("[Spinner::StartInt] Fail to delete Environment objects!");
        }
    } else {
        Logger::InternalW(L"[Spinner::StartInt] Start process with command-line : " + commandLine);
        created = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, kSpinnerCreation, nullptr,
                                   nullptr, &startup, &info);
    }
    if (!created) {
        Logger::Error("[Spinner::StartInt] CreateProcessAsUserW failed !");
        return false;
    }
    ZYNSysKernelHandle process(info.hProcess);
    ZYNSysKernelHandle thread(info.hThread);
    Logger::Internal("[Spinner::StartInt] CreateProcessAsUserW successed !");

    // A spinner that cannot be put in its job is ended: nothing else would ever stop it.
    const std::string where = "for UserExtension[" + std::to_string(session) + "]";
    ZYNSysKernelHandle job(::CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = kSpinnerJobLimits;
    limits.BasicLimitInformation.ActiveProcessLimit = 1;
    if (!job || !::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        Logger::Error("[Spinner::StartInt]Fail to set info on the JobObject " + where);
        ::TerminateProcess(process.Get(), 1);
        return false;
    }
    if (!::AssignProcessToJobObject(job.Get(), process.Get())) {
        Logger::Error("[Spinner::StartInt]Fail to assign the current Process to the JobObject " + where);
        ::TerminateProcess(process.Get(), 1);
        return false;
    }
    if (::ResumeThread(thread.Get()) == static_cast<DWORD>(-1)) {
        Logger::ErrorWithSystemError("[Spinner::StartInt]Fail to resume the spinner process " + where);
        ::TerminateJobObject(job.Get(), 1);
        return false;
    }
    process_ = std::move(process);
    thread_ = std::move(thread);
    job_ = std::move(job);
    processId_ = info.dwProcessId;
    threadId_ = info.dwThreadId;
    sessionId_ = session;
    Logger::Internal("[Spinner::StartInt]Successfully Started Spinner on session [" + std::to_string(session) + "]");
    return true;
}

bool Spinner::StopInt() {
    const std::string session = std::to_string(sessionId_);
    bool stopped = false;
    if (!coms_.post(WM_CLOSE, 0, 0, SystrayComs::kSpinnerClass)) {
        Logger::ErrorWithSystemError("[Spinner::StopInt]Fail to stop Spinner[" + session +
                                     "] thru WM_CLOSE, hard killing it !");
    } else {
        BOOL inJob = FALSE;
        if (!::IsProcessInJob(process_.Get(), job_.Get(), &inJob)) {
            Logger::Error("[Spinner::StopInt] IsProcessInJob Fail !");
        } else if (inJob) {
            Logger::Internal("[Spinner::StopInt] use TerminateJobObject to kill sub-process");
            if (::TerminateJobObject(job_.Get(), 0)) {
                stopped = true;
            } else {
                Logger::ErrorWithSystemError("[Spinner::StopInt]Fail to stop Spinner[" + session + "].");
            }
        } else {
            stopped = true;
        }
        if (stopped) Logger::Internal("[Spinner::StopInt]Successfully Stopped Spinner[" + session + "]");
    }
    // The job goes first: closing it ends whatever still runs in it. So the spinner is over
    // even when the steps above failed, and the operation must not stay started (a later
    // start would do nothing, and the destruction would post to another spinner).
    const bool hadJob = static_cast<bool>(job_);
    job_.Reset();
    process_.Reset();
    thread_.Reset();
    processId_ = 0;
    threadId_ = 0;
    return stopped || hadJob;
}
