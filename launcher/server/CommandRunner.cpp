#include "CommandRunner.h"

#include "OperationsLocal.h"

namespace {

class LocalCommandRunner final : public CommandRunner {
public:
    bool Run(const std::vector<std::string>& cmd, std::int32_t& exitCode, bool asSessionUser, std::int32_t timeoutMs,
             bool runas, std::int32_t sessionId) override {
        return Operations::Local::ExecuteCmd(cmd, exitCode, asSessionUser, timeoutMs, runas, sessionId);
    }
};

LocalCommandRunner g_localRunner;
constinit Seam<CommandRunner> g_runner{g_localRunner};

}  // namespace

CommandRunner* SetCommandRunner(CommandRunner* runner) { return g_runner.Set(runner); }
CommandRunner& GetCommandRunner() { return g_runner.Get(); }
