#pragma once
// The launcher's handle on one user extension: a copy of this program started in a desktop
// session as its user, serving the request pipe protocol on a pipe of its own.

#include <cstdint>
#include <mutex>
#include <string>

#include "JsonValue.h"
#include "ProcessAsUser.h"
#include "ZYNSysKernelHandle.h"

class UserExtension {
public:
    explicit UserExtension(std::uint32_t sessionId);
    ~UserExtension();
    UserExtension(const UserExtension&) = delete;
    UserExtension& operator=(const UserExtension&) = delete;

    // Makes sure the extension process runs (starts it when needed).
    bool Start();
    bool IsRunning();
    // One connection to the extension's pipe, in message read mode; the caller owns it. A
    // pipe served by any other process than the extension is refused.
    bool openPipe(ZYNSysKernelHandle& handle);
    // One request-reply exchange; the caller owns the reply. oversized, when given, tells
    // a failure caused by a reply above kMaxPipeMessageBytes. The exchange is given up at the
    // stop order, or once the request's own time limit on the far side plus the margin has
    // passed (the margin alone for a request without one); a request that waits without
    // limit waits for its reply or the stop order.
    bool RunOperation(const JSON::Value* request, JSON::ValuePtr& reply, bool* oversized = nullptr);
    bool Kill();
    void CloseHandles();

    std::uint32_t SessionId() const { return sessionId_; }
    std::string PipeName();
    DWORD ProcessId();
    // The program started as extension, fixed by the first construction.
    static std::string BaseExecutablePath();
    // The margin given to every exchange, kPipeExchangeMilliseconds unless set.
    static void SetExchangeMargin(std::uint32_t milliseconds);
    // How long Kill waits for the stop relay and then for the extension to end before it
    // ends the job, 5 s unless set.
    static void SetStopWait(std::uint32_t milliseconds);

private:
    std::recursive_mutex lock_;
    StartedProcess process_;
    std::string pipeName_;
    const std::uint32_t sessionId_;
    bool setUp_ = false;
    bool running_ = false;
    std::int32_t exitCode_ = -1;
};
