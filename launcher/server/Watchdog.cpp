#include "Watchdog.h"

#include <string>

#include "Backbone.h"
#include "Logger.h"
#include "ToolBox.h"

DWORD WINAPI EnrageTimer(void*) {
    try {
        int seconds = 300;
        std::string value;
        if (ToolBox::GetEnv("LAUNCHER_SETUPTRQ_TIMER", value)) {
            try {
                seconds = std::stoi(value, nullptr, 10);
            } catch (const std::exception&) {
                // Not a number: the default delay stands.
            }
            Logger::Debug("[wWinMain]EnrageTimer set to " + std::to_string(seconds) + " s");
        }
        Logger::Debug("[wWinMain]Quick we have " + std::to_string(seconds) + "s until the boss enrage !");
        if (seconds > 0) ::Sleep(static_cast<DWORD>(seconds) * 1000);
        Logger::Debug("[wWinMain]The boss has enrage ! WIPE !");
        Backbone::Stop(true);
    } catch (...) {
        LogCurrentException(std::current_exception(), "[EnrageTimer]Exception thrown : ");
    }
    return 0;
}
