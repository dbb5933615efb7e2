#pragma once
// Messages to the tray program's windows in the user's desktop: posted from here ('l'),
// through a one-shot copy of the GUI program ('p') or by the session's user extension ('i').

#include <cstdint>
#include <string>

class OrdanaRequestInfo;

class SystrayComs {
public:
    static constexpr const char* kTrayClass = "QXLauncherTray";
    static constexpr const char* kSpinnerClass = "QXLauncherSpinner";
    static constexpr std::uint32_t kProgressMessage = 0x40A;
    static constexpr std::uint32_t kLaunchingApplicationMessage = 0x40D;

    // A null repository means the folder of the running executable.
    SystrayComs(const OrdanaRequestInfo* requestInfo, char mode, const char* executableRepository);

    void SetExecutableRepository(const std::string& folder);
    std::string GetGuiExePath() const;
    std::string GetSystrayExePath() const;

    bool StartSystray();
    bool ShutdownSystray();
    bool LaunchingApplication(std::uint64_t wParam, std::int64_t lParam);
    bool post(std::uint32_t message, std::uint64_t wParam, std::int64_t lParam, const std::string& windowClass);

    const OrdanaRequestInfo* RequestInfo() const { return requestInfo_; }
    // Set from option 65 by every construction.
    static bool LocalMode();

private:
    const OrdanaRequestInfo* requestInfo_;
    char mode_;
    std::string repository_;
};
