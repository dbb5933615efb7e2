#pragma once
// The launcher's handle on one user extension: a copy of this program started in a desktop
// session as its user, serving the request pipe protocol on a pipe of its own.

#include <cstdint>
#include <mutex>
#include <string>

#include "JsonValue.h"
#include "ZYNSysHandle.h"

class UserExtension {
public:
    explicit UserExtension(std::uint32_t sessionId);
    ~UserExtension();
    UserExtension(const UserExtension&) = delete;
    UserExtension& operator=(const UserExtension&) = delete;

    // Makes sure the extension process runs (starts it when needed).
    bool Start();
    bool IsRunning();
    // One connection to the extension's pipe, in message read mode; the caller owns it.
    bool openPipe(ZYNSysKernelHandle& handle);
    // One request-reply exchange; the caller owns the reply.
    bool RunOperation(const JSON::Value* request, JSON::ValuePtr& reply);
    bool Kill();
    void CloseHandles();

    std::uint32_t SessionId() const { return sessionId_; }
    std::string PipeName();
    DWORD ProcessId();

private:
    std::recursive_mutex lock_;
    ZYNSysKernelHandle process_;
    ZYNSysKernelHandle thread_;
    DWORD processId_ = 0;
    DWORD threadId_ = 0;
    ZYNSysKernelHandle job_;
    std::string pipeName_;
    const std::uint32_t sessionId_;
    bool setUp_ = false;
    bool running_ = false;
    std::int32_t exitCode_ = -1;
};
