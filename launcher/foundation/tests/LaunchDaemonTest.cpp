// Start-up brings up process-wide services: each case runs in its own child.

#include <gtest/gtest.h>

#include <filesystem>

#include "BaseTestSupport.h"
#include "Config.h"
#include "LaunchDaemon.h"
#include "Logger.h"
#include "ToolBox.h"

namespace {

FixedClock g_startClock(UtcUnits(2024, 3, 5, 12, 0, 0));

}  // namespace

// VAROMET_TEST_ARG: "context|log folder override|base file name".
VAROMET_CHILD_CASE(MetaInit) {
    SetClock(&g_startClock);
    std::vector<std::string> parts;
    ToolBox::Split(ChildArg() + "|", "|", parts);
    bool ok =
        LaunchDaemon::MetaInit(static_cast<std::uint32_t>(std::stoul(parts.at(0))), "M", parts.at(1), parts.at(2));
    bool testMode = Config::IsActivated(65), envList = Config::IsActivated(56);
    Say("result",
        std::string(ok ? "true" : "false") + " 65=" + (testMode ? "on" : "off") + " 56=" + (envList ? "on" : "off"));
    Logger::Flush();  // as the program's exit does
    return 0;
}

TEST(LaunchDaemon, MetaInitChoosesTheLogFolderAndSwitchesTestModeOn) {
    struct Case {
        const char* name;
        const char* arg;
        const char* result;
        const char* logFile;  // below the test folder
        const char* absent;   // below the test folder: must not have been made
    };
    const char* const kLog = "LauncherData\\Korrintek\\VarometLauncher\\logs";
    const Case cases[] = {
        {"test context", "3||", "true 65=on 56=on",
         "LauncherData\\Korrintek\\VarometLauncher\\logs\\M\\zyn_log_file_2024_03_05.txt", "custom\\M"},
        {"override that exists", "3|{dir}\\custom|base", "true 65=on 56=on", "custom\\M\\base_2024_03_05.txt", kLog},
        {"override that does not exist", "3|{dir}\\nope|", "true 65=on 56=on",
         "LauncherData\\Korrintek\\VarometLauncher\\logs\\M\\zyn_log_file_2024_03_05.txt", "nope"},
        {"service without pdata.ptr", "0|{dir}\\custom|", "true 65=off 56=off",
         "custom\\M\\zyn_log_file_2024_03_05.txt", "LauncherData"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder dir;
        std::filesystem::create_directory(dir.Utf8In("custom"));
        std::string arg = ToolBox::ReplaceAll(c.arg, "{dir}", dir.Utf8(), true);
        ChildProcess::Result child =
            RunChild("MetaInit", dir, {{"VAROMET_TEST_ARG", arg}, {"WEX_TRQ_TMP", dir.Utf8()}});
        ASSERT_EQ(child.exitCode, 0u) << child.output;
        EXPECT_EQ(SaidOne(child.output, "result"), c.result);
        EXPECT_TRUE(PathExists(dir.Utf8In(c.logFile))) << c.logFile;
        EXPECT_FALSE(PathExists(dir.Utf8In(c.absent))) << c.absent;
        EXPECT_NE(ReadFileBytes(dir.Utf8In(c.logFile)).find("[LaunchDaemon::MetaInit] FileAndFoldersManager "),
                  std::string::npos)
            << "start-up messages wait for the file";
    }
}

TEST(LaunchDaemon, JoinStringsPutsTheSeparatorOnlyAfterText) {
    struct Case {
        std::vector<std::string> items;
        const char* separator;
        const char* joined;
    };
    const Case cases[] = {{{"", "a", "", "b"}, ",", "a,,b"}, {{}, ",", ""},       {{"a"}, ",", "a"},
                          {{"a", "b"}, "; ", "a; b"},        {{"", ""}, ",", ""}, {{"a", ""}, ",", "a,"}};
    for (const Case& c : cases) EXPECT_EQ(JoinStrings(c.items, c.separator), c.joined) << c.joined;
}
