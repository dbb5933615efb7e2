#pragma once
// Process-wide state is tested in a fresh copy of the test program: the parent starts
// itself again with --child-case=NAME, and the registered case runs instead of the tests.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ChildProcess {

using CaseFunction = int (*)();

struct Result {
    bool started = false;  // false: no process; output says why
    std::uint32_t exitCode = 0;
    std::string output;  // the child's stdout and stderr, bytes as written
};

// The child's output without the carriage returns that its text-mode streams add.
std::string TextOutput(const Result& result);

// Exit code of a child asked for a case nobody registered.
constexpr int kUnknownCase = 125;

// Used by VAROMET_CHILD_CASE during static initialisation; false for a second case of a name.
bool RegisterCase(const char* name, CaseFunction function);

// A change to the child's environment: the variable set to the value, or removed without one.
struct EnvironmentChange {
    std::wstring name;
    std::optional<std::wstring> value;
};

// Starts this program again for the named case and waits for it to end.
Result Run(const char* name);
// As Run, with this process's environment changed for the child only.
Result Run(const char* name, const std::vector<EnvironmentChange>& environment);

// Starts another program with that command-line tail and waits for it to end.
Result RunProgram(const std::wstring& program, const std::wstring& arguments,
                  const std::vector<EnvironmentChange>& environment = {});

// For main: when the arguments name a case, runs it, sets its exit code and answers true.
bool RunCaseFromArguments(int argc, char** argv, int& exitCode);

}  // namespace ChildProcess

// VAROMET_CHILD_CASE(Name) { ...; return exitCode; }
#define VAROMET_CHILD_CASE(Name)                                                  \
    static int VarometChildCase_##Name();                                          \
    [[maybe_unused]] static const bool varometChildCaseRegistered_##Name =         \
        ::ChildProcess::RegisterCase(#Name, &VarometChildCase_##Name);              \
    static int VarometChildCase_##Name()
