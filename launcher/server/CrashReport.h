#pragma once
// The report of a structured exception that nothing handled.

#include <string>

#include "ZYNSysWin.h"

// Logs the report and sends it to the event log; the process then ends.
LONG WINAPI MainExceptionFilter(EXCEPTION_POINTERS* exception);

// The report's text, one part per line.
std::string FormatCrashReport(const EXCEPTION_RECORD& record);
