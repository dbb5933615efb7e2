#include "SystrayOperation.h"

#include <optional>
#include <string>

#include "Logger.h"
#include "OrdanaRequestInfo.h"
#include "ProcessAsUser.h"
#include "SharedData.h"
#include "ToolBox.h"
#include "ZYNSysWin.h"
#include "ZYNSysEnvironmentBlock.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr std::int32_t kSpinnerType = 0;
constexpr std::int32_t kProgressType = 1;
constexpr std::uint32_t kProgressOver = 101;

// CREATE_NO_WINDOW | CREATE_BREAKAWAY_FROM_JOB | CREATE_UNICODE_ENVIRONMENT.
constexpr DWORD kSpinnerCreation = 0x09000400;

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

    const std::wstring commandLine = L"\"" + ToolBox::Utf8ToWide(coms_.GetSystrayExePath()) + L"\" --spinner";
    const bool asUser = !SystrayComs::LocalMode();
    // A spinner that cannot be put in its job has been ended: nothing else would ever stop it.
    ProcessStart start = StartProcessAsUser(
        {asUser ? std::optional<std::uint32_t>(session) : std::nullopt, commandLine, kSpinnerCreation, true});
    if (start.failed == ProcessStartStep::Token) {
        Logger::Error("[Spinner::StartInt]Fail to retrieve user's token !");
        return false;
    }
    if (start.failed == ProcessStartStep::Environment) {
        Logger::Error("[Spinner::StartInt] Fail to create Environment objects!");
        return false;
    }
    Logger::InternalW(L"[Spinner::StartInt] Start process with command-line : " + commandLine);
    if (start.environmentNotDestroyed) Logger::Error("[Spinner::StartInt] Fail to delete Environment objects!");
    if (start.failed == ProcessStartStep::Create) {
        Logger::Error("[Spinner::StartInt] CreateProcessAsUserW failed !");
        return false;
    }
    Logger::Internal("[Spinner::StartInt] CreateProcessAsUserW successed !");
    const std::string where = "for UserExtension[" + std::to_string(session) + "]";
    switch (start.failed) {
        case ProcessStartStep::Job:
            Logger::Error("[Spinner::StartInt]Fail to set info on the JobObject " + where);
            return false;
        case ProcessStartStep::Assign:
            Logger::Error("[Spinner::StartInt]Fail to assign the current Process to the JobObject " + where);
            return false;
        case ProcessStartStep::Resume:
            ::SetLastError(start.error);
            Logger::ErrorWithSystemError("[Spinner::StartInt]Fail to resume the spinner process " + where);
            return false;
        default:
            break;
    }
    process_ = std::move(start.process);
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
        if (!::IsProcessInJob(process_.Process(), process_.Job(), &inJob)) {
            Logger::Error("[Spinner::StopInt] IsProcessInJob Fail !");
        } else if (inJob) {
            Logger::Internal("[Spinner::StopInt] use TerminateJobObject to kill sub-process");
            if (::TerminateJobObject(process_.Job(), 0)) {
                stopped = true;
            } else {
                Logger::ErrorWithSystemError("[Spinner::StopInt]Fail to stop Spinner[" + session + "].");
            }
        } else {
            stopped = true;
        }
        if (stopped) Logger::Internal("[Spinner::StopInt]Successfully Stopped Spinner[" + session + "]");
    }
    // Closing the job ends whatever still runs in it. So the spinner is over even when the
    // steps above failed, and the operation must not stay started (a later start would do
    // nothing, and the destruction would post to another spinner).
    const bool hadJob = process_.Job() != nullptr;
    process_.Reset();
    return stopped || hadJob;
}
