#pragma once
// Runs a command line for an operation. The real one is Operations::Local::ExecuteCmd;
// tests install their own to stand in for programs they cannot run (the installer).

#include <cstdint>
#include <string>
#include <vector>

#include "Seam.h"

class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // As Operations::Local::ExecuteCmd: false when the command could not be run.
    virtual bool Run(const std::vector<std::string>& cmd, std::int32_t& exitCode, bool asSessionUser,
                     std::int32_t timeoutMs, bool runas, std::int32_t sessionId) = 0;
};

// Installs a runner for the whole process (null restores the real one); answers the one
// installed before.
CommandRunner* SetCommandRunner(CommandRunner* runner);
CommandRunner& GetCommandRunner();
using ScopedCommandRunner = ScopedSeam<CommandRunner, &SetCommandRunner>;
