#include "CrashReport.h"

#include <psapi.h>

#include <cstdio>

#include "Logger.h"
#include "ToolBox.h"

namespace {

const char* ExceptionName(DWORD code) {
    switch (code) {
        case 0xC0000005: return "EXCEPTION_ACCESS_VIOLATION";
        case 0x80000002: return "EXCEPTION_DATATYPE_MISALIGNMENT";
        case 0x80000003: return "EXCEPTION_BREAKPOINT";
        case 0x80000004: return "EXCEPTION_SINGLE_STEP";
        case 0xC0000006: return "EXCEPTION_IN_PAGE_ERROR";
        case 0xC000001D: return "EXCEPTION_ILLEGAL_INSTRUCTION";
        case 0xC0000025: return "EXCEPTION_NONCONTINUABLE_EXCEPTION";
        case 0xC0000026: return "EXCEPTION_INVALID_DISPOSITION";
        case 0xC000008C: return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
        case 0xC000008D: return "EXCEPTION_FLT_DENORMAL_OPERAND";
        case 0xC000008E: return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
        case 0xC000008F: return "EXCEPTION_FLT_INEXACT_RESULT";
        case 0xC0000090: return "EXCEPTION_FLT_INVALID_OPERATION";
        case 0xC0000091: return "EXCEPTION_FLT_OVERFLOW";
        case 0xC0000092: return "EXCEPTION_FLT_STACK_CHECK";
        case 0xC0000093: return "EXCEPTION_FLT_UNDERFLOW";
        case 0xC0000094: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
        case 0xC0000095: return "EXCEPTION_INT_OVERFLOW";
        case 0xC0000096: return "EXCEPTION_PRIV_INSTRUCTION";
        case 0xC00000FD: return "EXCEPTION_STACK_OVERFLOW";
        default: return "UNKNOWN EXCEPTION";
    }
}

const char* AccessKind(ULONG_PTR kind) {
    switch (kind) {
        case 0: return "read";
        case 1: return "write";
        case 8: return "user-mode data execution prevention (DEP) violation";
        default: return "unknown";
    }
}

}  // namespace

std::string FormatCrashReport(const EXCEPTION_RECORD& record) {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCWSTR>(record.ExceptionAddress), &module);
    MODULEINFO info{};
    char name[261] = {};
    if (module) {
        ::GetModuleInformation(::GetCurrentProcess(), module, &info, sizeof info);
        ::GetModuleFileNameExA(::GetCurrentProcess(), module, name, 260);
    }
    const DWORD code = record.ExceptionCode;
    std::string report = std::string("!EX![Main]SE [") + ExceptionName(code) + "] at address 0x" +
                         ToolBox::PointerToString(record.ExceptionAddress) + " inside " + name +
                         " loaded at base address 0x" + ToolBox::PointerToString(info.lpBaseOfDll) + "\n";
    if ((code == 0xC0000005 || code == 0xC0000006) && record.NumberParameters >= 2) {
        char address[32];
        std::snprintf(address, sizeof address, "%llx", static_cast<unsigned long long>(record.ExceptionInformation[1]));
        report += std::string("Invalid operation: ") + AccessKind(record.ExceptionInformation[0]) + " at address 0x" +
                  address + "\n";
    }
    if (code == 0xC0000006 && record.NumberParameters >= 3) {
        report += "Underlying NTSTATUS code that resulted in the exception " +
                  std::to_string(record.ExceptionInformation[2]) + "\n";
    }
    return report;
}

LONG WINAPI MainExceptionFilter(EXCEPTION_POINTERS* exception) {
    try {
        if (exception && exception->ExceptionRecord) {
            std::string report = FormatCrashReport(*exception->ExceptionRecord);
            Logger::Error(report);
            Logger::ThrowEvent(50, report, 1);
            Logger::Flush();
        }
    } catch (...) {
    }
    return EXCEPTION_EXECUTE_HANDLER;
}
