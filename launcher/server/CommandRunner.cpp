#include "CommandRunner.h"

#include <atomic>

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
std::atomic<CommandRunner*> g_runner{nullptr};

}  // namespace

void SetCommandRunner(CommandRunner* runner) { g_runner.store(runner); }

CommandRunner& GetCommandRunner() {
    CommandRunner* runner = g_runner.load();
    return runner ? *runner : g_localRunner;
}
