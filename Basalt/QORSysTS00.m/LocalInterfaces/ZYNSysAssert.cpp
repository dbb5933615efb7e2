#include "ZYNSysAssert.h"

#include <cstdio>

#include "ZYNDebugBreak.h"

void ZYNSysAssertFailed(const char* text, const char* source, int line) {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", text, source, line);
    std::fflush(stderr);
    ZYNDebugBreak(1);
}
