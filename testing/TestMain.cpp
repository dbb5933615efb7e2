#include <gmock/gmock.h>

#include "ChildProcess.h"

int main(int argc, char** argv) {
    int exitCode = 0;
    if (ChildProcess::RunCaseFromArguments(argc, argv, exitCode)) return exitCode;
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
