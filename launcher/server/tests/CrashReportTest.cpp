// The report of a structured exception that nothing handled: its exact text, and a child
// that really faults.

#include <gtest/gtest.h>

#include <cstdio>

#include "ChildProcess.h"
#include "CrashReport.h"
#include "EventLogSink.h"
#include "Logger.h"
#include "ZYNSysWin.h"

namespace {

std::string Hex16(const void* pointer) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return text;
}

std::string ThisProgram() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

void SomewhereInThisProgram() {}

TEST(CrashReport, NamesTheExceptionTheModuleAndTheFaultingAccess) {
    struct Case {
        const char* name;
        DWORD code;
        std::vector<ULONG_PTR> parameters;
        std::string tail;  // what follows the first line
        const char* exceptionName;
    };
    const Case cases[] = {
        {"write", 0xC0000005, {1, 0x10}, "Invalid operation: write at address 0x10\n", "EXCEPTION_ACCESS_VIOLATION"},
        {"read",
         0xC0000005,
         {0, 0xDEADBEEF},
         "Invalid operation: read at address 0xdeadbeef\n",
         "EXCEPTION_ACCESS_VIOLATION"},
        {"DEP",
         0xC0000005,
         {8, 0},
         "Invalid operation: user-mode data execution prevention (DEP) violation at address 0x0\n",
         "EXCEPTION_ACCESS_VIOLATION"},
        {"other access",
         0xC0000005,
         {3, 0xFFFFFFFFFFFFFFFF},
         "Invalid operation: unknown at address 0xffffffffffffffff\n",
         "EXCEPTION_ACCESS_VIOLATION"},
        {"in page",
         0xC0000006,
         {0, 0x1000, 0xC000009C},
         "Invalid operation: read at address 0x1000\nUnderlying NTSTATUS code that resulted in the exception "
         "3221225628\n",
         "EXCEPTION_IN_PAGE_ERROR"},
        {"divide", 0xC0000094, {}, "", "EXCEPTION_INT_DIVIDE_BY_ZERO"},
        {"stack", 0xC00000FD, {0, 0}, "", "EXCEPTION_STACK_OVERFLOW"},
        {"breakpoint", 0x80000003, {}, "", "EXCEPTION_BREAKPOINT"},
        {"C++ throw", 0xE06D7363, {}, "", "UNKNOWN EXCEPTION"},
    };
    void* address = reinterpret_cast<void*>(&SomewhereInThisProgram);
    const std::string module =
        " inside " + ThisProgram() + " loaded at base address 0x" + Hex16(::GetModuleHandleW(nullptr)) + "\n";
    for (const Case& c : cases) {
        EXCEPTION_RECORD record{};
        record.ExceptionCode = c.code;
        record.ExceptionAddress = address;
        record.NumberParameters = static_cast<DWORD>(c.parameters.size());
        for (std::size_t i = 0; i < c.parameters.size(); ++i) record.ExceptionInformation[i] = c.parameters[i];
        EXPECT_EQ(FormatCrashReport(record), std::string("!EX![Main]SE [") + c.exceptionName + "] at address 0x" +
                                                 Hex16(address) + module + c.tail)
            << c.name;
    }
}

TEST(CrashReport, AddressOutsideEveryModuleHasNoModule) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = 0xC0000005;
    record.ExceptionAddress = reinterpret_cast<void*>(0x10);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 0;
    record.ExceptionInformation[1] = 0x10;
    EXPECT_EQ(FormatCrashReport(record),
              "!EX![Main]SE [EXCEPTION_ACCESS_VIOLATION] at address 0x0000000000000010 inside  loaded at base "
              "address 0x0000000000000000\nInvalid operation: read at address 0x10\n");
}

// The event-log copy goes to standard output instead of the machine's event log.
class PrintedEvents final : public EventLogSink {
public:
    bool Report(std::uint16_t, std::uint16_t category, std::uint32_t, std::wstring_view text) override {
        std::printf("@@event category=%u report=%d\n", category,
                    text.find(L"!EX![Main]SE [") != std::wstring_view::npos);
        std::fflush(stdout);
        return true;
    }
};

VAROMET_CHILD_CASE(FaultThroughNullPointer) {
    static PrintedEvents events;
    Logger::SetEventSink(&events);
    ::SetUnhandledExceptionFilter(&MainExceptionFilter);
    *static_cast<volatile int*>(nullptr) = 1;
    return 0;
}

TEST(CrashReport, RealFaultIsReportedAndEndsTheProcessWithItsCode) {
    ChildProcess::Result child = ChildProcess::Run("FaultThroughNullPointer");
    ASSERT_TRUE(child.started) << child.output;
    std::erase(child.output, '\r');  // the child's standard output is in text mode
    EXPECT_EQ(child.exitCode, 0xC0000005u) << child.output;
    const std::string head = "!EX![Main]SE [EXCEPTION_ACCESS_VIOLATION] at address 0x";
    ASSERT_NE(child.output.find(head), std::string::npos) << child.output;
    EXPECT_NE(child.output.find(" inside " + ThisProgram() + " loaded at base address 0x" +
                                Hex16(::GetModuleHandleW(nullptr))),
              std::string::npos)
        << child.output;
    EXPECT_NE(child.output.find("Invalid operation: write at address 0x0\n"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("@@event category=1 report=1"), std::string::npos) << child.output;
}

}  // namespace
