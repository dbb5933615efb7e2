#pragma once
// A failed consistency check of the framework: its text, source and line go to standard error and
// an attached debugger stops (ZYNDebugBreak kind 1). The process goes on.

void ZYNSysAssertFailed(const char* text, const char* source, int line);
