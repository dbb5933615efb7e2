#include "OperationsLocal.h"

#include "Logger.h"
#include "ToolBox.h"
#include "ZYNSysWin.h"

namespace Operations {

bool Local::PostMessageToWindow(const std::string& windowClass, std::uint32_t message, std::uint64_t wparam,
                                std::int64_t lparam) {
    Logger::Internal("[Operations::Local::PostMessageToWindow]Try to PostMessage to window(" + windowClass +
                     ") with these param : label:[" + std::to_string(message) + "]//wparam:[" + std::to_string(wparam) +
                     "]//lparam:[" + std::to_string(lparam) + "]");
    HWND window = ::FindWindowW(ToolBox::Utf8ToWide(windowClass).c_str(), nullptr);
    if (!window) {
        Logger::Warn("[Operations::Local::PostMessageToWindow]Fail to find window  with this name : " + windowClass);
        return false;
    }
    if (!::PostMessageW(window, message, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam))) {
        Logger::Warn("[Operations::Local::PostMessageToWindow]PostMessage to SysTray window fail!");
        return false;
    }
    Logger::Internal("[Operations::Local::PostMessageToWindow] Postmessage to window [" + windowClass +
                     "] has succeed !");
    return true;
}

}  // namespace Operations
