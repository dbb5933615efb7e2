#pragma once
// Operations the tray shows while work runs: a percentage (Progress) and a busy spinner in
// a process of its own (Spinner).

#include <cstdint>

#include "SystrayComs.h"
#include "ProcessAsUser.h"
#include "ZYNSysKernelHandle.h"

class SystrayOperation {
public:
    bool Start();
    void Stop();
    bool IsStarted() const { return started_; }

protected:
    SystrayOperation(const SystrayComs& coms, std::int32_t type) : coms_(coms), type_(type) {}
    // Not virtual: derived destructors stop the operation themselves, while their
    // StopInt is still there to call.
    ~SystrayOperation() = default;
    SystrayOperation(const SystrayOperation&) = delete;
    SystrayOperation& operator=(const SystrayOperation&) = delete;

    virtual bool StartInt() = 0;
    virtual bool StopInt() = 0;
    // Stop for the derived destructors: nothing may leave them.
    void StopFromDestructor() noexcept;

    SystrayComs coms_;

private:
    bool started_ = false;
    std::int32_t type_;
};

class Progress final : public SystrayOperation {
public:
    Progress(const SystrayComs& coms, bool startNow);
    ~Progress();
    bool Update(std::uint32_t value);
    std::int32_t Value() const { return value_; }

private:
    bool StartInt() override;
    bool StopInt() override;
    std::int32_t value_ = 0;
};

class Spinner final : public SystrayOperation {
public:
    Spinner(const SystrayComs& coms, bool startNow);
    ~Spinner();

private:
    bool StartInt() override;
    bool StopInt() override;
    StartedProcess process_;
    std::uint32_t sessionId_ = 0;
};
