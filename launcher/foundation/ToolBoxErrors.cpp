#include <cerrno>
#include <cstring>

#include "ZYNSysWin.h"

#include <wininet.h>

#include "Logger.h"
#include "ToolBox.h"
#include "ZYNSysLocalMemory.h"

namespace {

// The system's text for a code, line breaks removed; false when there is none.
bool SystemText(DWORD code, std::string& text) {
    ZYNSysLocalPointer<wchar_t*> buffer;
    // The texts of the internet errors live in wininet's own message table, not the system's.
    const HMODULE wininet = code >= INTERNET_ERROR_BASE && code <= INTERNET_ERROR_LAST
                                ? ::GetModuleHandleW(L"wininet.dll")
                                : nullptr;
    // Inserts ignored: a system text with %1 would otherwise read arguments that are not there.
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                        FORMAT_MESSAGE_IGNORE_INSERTS | (wininet ? FORMAT_MESSAGE_FROM_HMODULE : 0),
                                    wininet, code, 0, reinterpret_cast<wchar_t*>(buffer.Put()), 0, nullptr);
    if (length == 0) return false;
    text = ToolBox::WCStrToString(buffer.Get());
    std::erase(text, '\r');
    std::erase(text, '\n');
    return true;
}

}  // namespace

std::string ToolBox::FormatMessageText(DWORD code) {
    std::string text;
    if (SystemText(code, text)) return text;
    DWORD second = ::GetLastError();
    std::string barred;
    if (!SystemText(second, barred)) barred = "|CRITCAL ERROR! CANNOT RETIREVE MSG|";
    else barred = "|" + barred + "|";
    return "{[FormatMessageW] failed with this error code [" + std::to_string(second) + "] with message :" + barred +
           "}";
}

std::string ToolBox::GetSystemErrorText() {
    DWORD win32 = ::GetLastError();
    int error = errno;
    char message[256];
    // strerror_s: strerror's buffer is shared between threads.
    std::string errnoText = strerror_s(message, sizeof message, error) == 0 ? message : "NULL";
    return "( errno[" + std::to_string(error) + "] : " + errnoText + " // winerr[" + std::to_string(win32) +
           "] : " + FormatMessageText(win32) + " )";
}

void LogException(const std::exception& exception, const std::string& context, bool toEventLog) {
    std::string message = "!EXP!" + context + exception.what();
    Logger::Error(message);
    if (toEventLog) Logger::ThrowEvent(50, message, 1);
}

void LogCurrentException(std::exception_ptr captured, const std::string& context) {
    if (!captured) return;
    // Nothing leaves this function: it is the last thing a thread's top calls.
    try {
        try {
            std::rethrow_exception(captured);
        } catch (const std::exception& exception) {
            LogException(exception, context, false);
        } catch (...) {
            Logger::Error("!EXP!" + context + "unknown exception");
        }
    } catch (...) {
    }
}
