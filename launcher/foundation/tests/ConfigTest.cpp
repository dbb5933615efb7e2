// The configuration is read once per process: every case runs in its own child, which
// reports what Config logged and answered.

#include <gtest/gtest.h>

#include "BaseTestSupport.h"
#include "Config.h"
#include "ToolBox.h"

namespace {

std::string Escaped(std::string text) {
    return ToolBox::ReplaceAll(text, "\n", "\\n", true);
}

}  // namespace

VAROMET_CHILD_CASE(ConfigFile) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    std::string untouched = "untouched";
    bool before56 = Config::IsActivated(56);
    bool beforeSet = Config::GetVariable(1, untouched);
    Say("before", std::string(before56 ? "on " : "off ") + (beforeSet ? "set " : "unset ") + untouched);
    sink.Take();
    Config::Init(ChildDir() + "\\launcher.conf");
    std::string level = "stale";
    bool set = Config::GetVariable(1, level);
    Say("loglevel", (set ? "[" : "unset [") + level + "]");
    for (const RecordingSink::Entry& e : sink.Take())
        Say(e.deferred ? "queued" : "immediate", std::to_string(e.level) + ":" + e.text);
    return 0;
}

TEST(Config, LauncherConfParsesCommentsValuesAndEnvironmentOptions) {
    const std::string head = "20:[Config::DisplayConfig]Current Configuration set :\n-[ConfigOption]:";
    struct Case {
        const char* name;
        const char* content;  // null: no file
        EnvList env;
        const char* display;  // after the option head; null: not shown
        const char* loglevel;
        std::vector<std::string> messages;  // queued INTERNAL messages among those logged
        const char* other = nullptr;        // content of other.conf
    };
    const Case cases[] = {
        {"comments", "KEEP_MEDIA_ZIP # keep archives\n# KEEP_MEDIA_UNZIP\n#\n", {}, "{56, 68}\n-[ConfigVariable]:\n",
         "unset []", {"[Config::Init] config file content : KEEP_MEDIA_ZIP # keep archives\n# KEEP_MEDIA_UNZIP\n#"}},
        {"equals inside a value", "AUTH_WS_URL=a=b", {}, "{56}\n-[ConfigVariable]:\n(7):{a=b}", "unset []", {}},
        {"name trimmed, value not", "  LOGLEVEL = info\t\n", {}, "{56}\n-[ConfigVariable]:\n(1):{ info\t}",
         "[ info\t]", {}},
        {"first value wins", "LOGLEVEL=info\nIFRAME_PATH=\nLOGLEVEL=error\n", {},
         "{56}\n-[ConfigVariable]:\n(1):{info}\n(6):{}", "[info]", {}},
        {"CRLF line ends", "LOGLEVEL=warn\r\nSUPER_LOGGER\r\n", {}, "{56, 70}\n-[ConfigVariable]:\n(1):{warn}",
         "[warn]", {}},
        {"byte-order mark", "\xEF\xBB\xBFKEEP_MEDIA_UNZIP\nDO_NOT_USE_ENVLIST\n", {},
         "{52, 56}\n-[ConfigVariable]:\n", "unset []", {}},
        {"names are case-sensitive", "log_level=debug\nkeep_media_zip\n", {}, "{56}\n-[ConfigVariable]:\n", "unset []",
         {"[Config::Init]unknown variable name: [log_level]", "[Config::Init]unknown option name: [keep_media_zip]"}},
        {"a line of blanks", "   \n", {}, "{56}\n-[ConfigVariable]:\n", "unset []",
         {"[Config::Init]unknown option name: []"}},
        {"test mode and memory check from the environment", "",
         {{"WEX_TRQ_UUID", "run-1"}, {"WEX_TRQ_EXECTOOL", "DrMemoryCheck"}}, "{56, 65, 67}\n-[ConfigVariable]:\n",
         "unset []", {"[Config::Init] config file empty : {dir}\\launcher.conf"}},
        {"memory check is case-sensitive", "IGNORE_POPUP",
         {{"WEX_TRQ_UUID", "run-1"}, {"WEX_TRQ_EXECTOOL", "memorycheck"}}, "{54, 56, 65}\n-[ConfigVariable]:\n",
         "unset []", {}},
        {"memory check needs test mode", "", {{"WEX_TRQ_EXECTOOL", "MemoryCheck"}}, "{56}\n-[ConfigVariable]:\n",
         "unset []", {}},
        {"TrqConfPath replaces the path", "KEEP_MEDIA_ZIP", {{"TrqConfPath", "{dir}\\other.conf"}},
         "{54, 56}\n-[ConfigVariable]:\n", "unset []",
         {"[Config::Init]Trq conf var detected : {dir}\\other.conf"}, "IGNORE_POPUP"},
        {"no file", nullptr, {}, nullptr, "unset []", {"[Config::Init]No config file found ({dir}\\launcher.conf)."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder dir;
        auto fill = [&](std::string text) { return ToolBox::ReplaceAll(text, "{dir}", dir.Utf8(), true); };
        ASSERT_TRUE(!c.content || WriteFileBytes(dir.Utf8In("launcher.conf"), c.content));
        ASSERT_TRUE(!c.other || WriteFileBytes(dir.Utf8In("other.conf"), c.other));
        EnvList env;
        for (const auto& [key, value] : c.env) env.emplace_back(key, fill(value));
        ChildProcess::Result child = RunChild("ConfigFile", dir, env);
        ASSERT_EQ(child.exitCode, 0u) << child.output;
        EXPECT_EQ(SaidOne(child.output, "before"), "off unset untouched");
        EXPECT_EQ(SaidOne(child.output, "loglevel"), c.loglevel);
        EXPECT_TRUE(Said(child.output, "immediate").empty()) << "Config logs before the logger exists";
        std::vector<std::string> queued = Said(child.output, "queued");
        std::vector<std::string> displays;
        for (const std::string& q : queued)
            if (q.starts_with(Escaped(head))) displays.push_back(q);
        if (c.display) {
            EXPECT_EQ(displays, std::vector<std::string>{Escaped(head + c.display)});
        } else {
            EXPECT_TRUE(displays.empty());
        }
        for (const std::string& m : c.messages)
            EXPECT_NE(std::find(queued.begin(), queued.end(), Escaped("10:" + fill(m))), queued.end()) << m;
    }
}
