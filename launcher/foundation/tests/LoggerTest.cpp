// The logger is process-wide: each case starts it in a child, under a fake clock that
// stands at noon on 5 March 2024 (the runner's zone is UTC), and the parent reads the real
// log file the child left in the test folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "BaseTestSupport.h"
#include "Config.h"
#include "DebuggedChild.h"
#include "FolderMaker.h"
#include "Logger.h"
#include "ToolBox.h"
#include "ZYNSysKernelHandle.h"

namespace {

const std::string kRule(74, '#');
FixedClock g_clock(UtcUnits(2024, 3, 5, 12, 0, 0));

std::string DayFile(const std::string& folder, const char* day = "2024_03_05") {
    return folder + "\\L\\zyn_log_file_" + day + ".txt";
}

std::vector<std::string> FileLines(const std::string& path) {
    return SplitCrLf(ReadFileBytes(path));
}

std::size_t Count(const std::vector<std::string>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.ends_with(text); });
}

std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& suffix) {
    auto at = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.ends_with(suffix); });
    return static_cast<std::size_t>(at - lines.begin());
}

// In a child: the configuration from "launcher.conf" (when given), then the logger into the test folder.
bool StartLogger(const std::string& conf = "") {
    SetClock(&g_clock);
    if (!conf.empty()) WriteFileBytes(ChildDir() + "\\launcher.conf", conf);
    Config::Init(ChildDir() + "\\launcher.conf");
    return Logger::Init("L", ChildDir(), "");
}

void SayEvents(const FakeEvents& events) {
    for (const FakeEvents::Event& e : events.events)
        Say("event", std::to_string(e.type) + " " + std::to_string(e.category) + " " + std::to_string(e.id) + " " +
                         ToolBox::WideToUtf8(e.text));
}

ChildProcess::Result RunLogger(const TestFolder& dir, const char* name, const std::string& arg = "") {
    ChildProcess::Result child = RunChild(name, dir, arg.empty() ? EnvList{} : EnvList{{"VAROMET_TEST_ARG", arg}});
    EXPECT_EQ(child.exitCode, 0u) << name << "\n" << child.output.substr(0, 4000);
    return child;
}

}  // namespace

VAROMET_CHILD_CASE(LoggerFormat) {
    StartLogger("LOGLEVEL=all");
    Say("tid", std::to_string(::GetCurrentThreadId()));
    Logger::Info(std::string(50000, 'x'));
    for (int level : {10, 20, 30, 40, 50, 35}) Logger::Log(level, "t" + std::to_string(level));
    return 0;
}

TEST(Logger, LinesHaveTheExactFormatTagsAndCutAt40960Bytes) {
    TestFolder dir;
    ChildProcess::Result child = RunLogger(dir, "LoggerFormat");
    std::vector<std::string> lines = FileLines(DayFile(dir.Utf8()));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], kRule);
    EXPECT_EQ(lines[2], kRule);
    std::smatch zone;
    ASSERT_TRUE(std::regex_match(lines[1], zone, std::regex(R"(L\[2024_03_05-120000([+-]\d{4}[sdi])\])"))) << lines[1];
    const std::string prefix = "<2024_03_05-120000.000" + zone[1].str() + ">(" + SaidOne(child.output, "tid") + "){";

    const std::string& cut = lines.at(IndexOf(lines, "xxx"));
    EXPECT_EQ(cut.substr(0, prefix.size() + 7), prefix + "INFO }:");
    EXPECT_EQ(cut.size() - prefix.size() - 7, 40960u);
    EXPECT_NE(child.output.find(cut + "\n"), std::string::npos) << "the echo is cut alike";
    const std::pair<int, const char*> tags[] = {{10, "INTERNAL"}, {20, "DEBUG"}, {30, "INFO "},
                                                {40, "WARN "},    {50, "ERROR"}, {35, "ERROR"}};
    for (const auto& [level, tag] : tags) {
        std::string expected = prefix + tag + "}:t" + std::to_string(level);
        EXPECT_EQ(Count(lines, expected), 1u) << expected;
        EXPECT_NE(child.output.find(expected + "\n"), std::string::npos) << "not echoed: " << expected;
    }
}

VAROMET_CHILD_CASE(LoggerThreshold) {
    StartLogger("LOGLEVEL=" + ChildArg());
    Logger::Internal("i-line");
    Logger::Debug("d-line");
    Logger::Info("n-line");
    Logger::Warn("w-line");
    Logger::DeferredDebug("q-line");
    Logger::Error("e-line");
    return 0;
}

TEST(Logger, LogLevelVariableSetsTheThresholdOnlyForExactNames) {
    struct Case {
        const char* value;
        const char* kept;  // initials of the lines in the file
    };
    const Case cases[] = {{"info", "nwe"}, {"all", "idnwqe"}, {"Info", "dnwqe"}, {" info", "dnwqe"}, {"error", "e"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("LOGLEVEL=") + c.value);
        TestFolder dir;
        ChildProcess::Result child = RunLogger(dir, "LoggerThreshold", c.value);
        std::vector<std::string> lines = FileLines(DayFile(dir.Utf8()));
        std::string kept;
        for (char initial : std::string("idnwqe"))
            if (Count(lines, std::string("}:") + initial + "-line") == 1) kept += initial;
        EXPECT_EQ(kept, c.kept);
        EXPECT_NE(child.output.find("{DEBUG}:q-line\n"), std::string::npos) << "a queued line is always echoed";
    }
}

VAROMET_CHILD_CASE(LoggerQueuedFirst) {
    Logger::DeferredInternal("early one");
    Logger::Warn("early two");
    StartLogger();
    Logger::Info("first");
    return 0;
}

TEST(Logger, LinesBeforeInitReachTheFileBeforeTheFirstLine) {
    TestFolder dir;
    RunLogger(dir, "LoggerQueuedFirst");
    std::vector<std::string> lines = FileLines(DayFile(dir.Utf8()));
    std::size_t first = IndexOf(lines, "{INFO }:first");
    ASSERT_LT(first, lines.size());
    EXPECT_LT(IndexOf(lines, "|#LNI#|early one"), IndexOf(lines, "|#LNI#|early two"));
    EXPECT_LT(IndexOf(lines, "|#LNI#|early two"), first);
    EXPECT_LT(IndexOf(lines, "|#LNI#|[Logger::Init]logger file path : " + DayFile(dir.Utf8())), first);
    for (std::size_t i = first; i < lines.size(); ++i) EXPECT_FALSE(lines[i].starts_with("|#LNI#|")) << lines[i];
}

VAROMET_CHILD_CASE(LoggerDayChange) {
    g_clock.Set(UtcUnits(2024, 3, 5, 23, 59, 59));
    StartLogger();
    Logger::Info("before midnight");
    g_clock.Set(UtcUnits(2024, 3, 6, 0, 0, 1));
    Logger::Info("after midnight");
    return 0;
}

TEST(Logger, DayChangeStartsANewFileWithItsHeader) {
    TestFolder dir;
    RunLogger(dir, "LoggerDayChange");
    std::vector<std::string> before = FileLines(DayFile(dir.Utf8()));
    std::vector<std::string> after = FileLines(DayFile(dir.Utf8(), "2024_03_06"));
    EXPECT_EQ(Count(before, "}:before midnight"), 1u);
    EXPECT_EQ(Count(before, "}:after midnight"), 0u);
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(after[0], kRule);
    EXPECT_TRUE(after[1].starts_with("L[2024_03_06-000001")) << after[1];
    EXPECT_EQ(Count(after, "[Logger::WriteMsg]New logger file path : " + DayFile(dir.Utf8(), "2024_03_06")), 1u);
    EXPECT_TRUE(after.back().starts_with("<2024_03_06-000001.000")) << after.back();
    EXPECT_TRUE(after.back().ends_with("{INFO }:after midnight"));
}

VAROMET_CHILD_CASE(LoggerFailedInit) {
    FakeEvents events;
    ScopedEventSink installedEvents(events);
    SetClock(&g_clock);
    WriteFileBytes(ChildDir() + "\\blocker", "a file where a folder should be");
    Logger::DeferredInternal("early");
    Say("init", Logger::Init("L", ChildDir() + "\\blocker", "") ? "true" : "false");
    Logger::Info("later");
    Logger::DeferredWarn("later queued");
    Logger::Flush();
    SayEvents(events);
    return 0;
}

TEST(Logger, FailedInitSendsTheQueueAsOneErrorEventAndOnlyEchoesLaterLines) {
    TestFolder dir;
    ChildProcess::Result child = RunLogger(dir, "LoggerFailedInit");
    EXPECT_EQ(SaidOne(child.output, "init"), "false");
    std::vector<std::string> events = Said(child.output, "event");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].starts_with("1 1 1073742081 |#LNI#|early\\n|#LNI#|[Logger::Init]<<LOGGER INIT>>\\n"))
        << events[0];
    EXPECT_TRUE(events[0].ends_with("\\n|#LNI#|[Logger::Init]PrepareLogFile failed !")) << events[0];
    EXPECT_NE(child.output.find("\n|!LCS!|later\n"), std::string::npos);
    EXPECT_NE(child.output.find("\n|!LCS!|later queued\n"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1) << "no log file anywhere";
}

VAROMET_CHILD_CASE(LoggerSuperLogger) {
    FakeEvents events(false);  // the source cannot be released: each event also logs a notice
    ScopedEventSink installedEvents(events);
    StartLogger("SUPER_LOGGER\nLOGLEVEL=all");
    Logger::Info("once");
    Logger::DeferredWarn("queued once");
    Logger::Debug("flush");
    SayEvents(events);
    return 0;
}

TEST(Logger, SuperLoggerRaisesOneEventPerLineAndWritesEachLineOnce) {
    TestFolder dir;
    ChildProcess::Result child = RunLogger(dir, "LoggerSuperLogger");
    std::vector<std::string> lines = FileLines(DayFile(dir.Utf8()));
    for (const char* text : {"{INFO }:once", "{WARN }:queued once", "{DEBUG}:flush"}) {
        EXPECT_EQ(Count(lines, text), 1u) << text;
        EXPECT_EQ(Count(lines, std::string(text) + "}"), 1u) << "one failure notice for " << text;
    }
    std::vector<std::string> events = Said(child.output, "event");
    ASSERT_EQ(events.size(), 3u) << "a failure notice raises no event of its own";
    EXPECT_TRUE(events[0].starts_with("4 1 1073742081 <") && events[0].ends_with("{INFO }:once")) << events[0];
    EXPECT_TRUE(events[1].starts_with("2 1 1073742081 <") && events[1].ends_with("{WARN }:queued once")) << events[1];
    EXPECT_TRUE(events[2].starts_with("4 1 1073742081 <") && events[2].ends_with("{DEBUG}:flush")) << events[2];
}

namespace {

// Logs through both families from inside the logger, as the server's folder operations do.
class LoggingMaker final : public FolderMaker {
public:
    bool MakeFolder(const std::string& path) override {
        Logger::Info("maker inside");
        Logger::DeferredWarn("maker deferred");
        return ::CreateDirectoryW(ToolBox::Utf8ToWide(path).c_str(), nullptr) != FALSE;
    }
    int MakeFolderAsUser(const OrdanaRequestInfo&, const std::string&, bool&) override { return 2; }
};

}  // namespace

VAROMET_CHILD_CASE(LoggerReentrant) {
    std::thread([] {
        ::Sleep(30000);
        std::fputs("deadlock\n", stdout);
        std::fflush(stdout);
        ::ExitProcess(3);
    }).detach();
    StartLogger();
    Logger::Info("day one");
    LoggingMaker maker;
    ScopedFolderMaker installedMaker(maker);
    // The day's folder is gone: the day change has to create it again.
    ::MoveFileW(ToolBox::Utf8ToWide(ChildDir() + "\\L").c_str(), ToolBox::Utf8ToWide(ChildDir() + "\\L-old").c_str());
    g_clock.Set(UtcUnits(2024, 3, 6, 12, 0, 0));
    Logger::Info("day two");
    return 0;
}

TEST(Logger, LoggingFromInsideTheLoggerAtADayChangeIsQueuedNotDeadlocked) {
    TestFolder dir;
    RunLogger(dir, "LoggerReentrant");
    std::vector<std::string> lines = FileLines(DayFile(dir.Utf8(), "2024_03_06"));
    EXPECT_EQ(Count(lines, "{INFO }:maker inside"), 1u);
    EXPECT_EQ(Count(lines, "{WARN }:maker deferred"), 1u);
    EXPECT_EQ(IndexOf(lines, "{INFO }:day two"), lines.size() - 1);
}

VAROMET_CHILD_CASE(LoggerFlush) {
    StartLogger();
    Logger::Info("first");
    Logger::DeferredWarn("pending line");
    Say("before", ReadFileBytes(DayFile(ChildDir())).find("pending line") == std::string::npos ? "absent" : "there");
    Logger::Flush();
    return 0;
}

TEST(Logger, FlushWritesTheQueuedLines) {
    TestFolder dir;
    ChildProcess::Result child = RunLogger(dir, "LoggerFlush");
    EXPECT_EQ(SaidOne(child.output, "before"), "absent");
    EXPECT_EQ(Count(FileLines(DayFile(dir.Utf8())), "{WARN }:pending line"), 1u);
}

VAROMET_CHILD_CASE(LoggerThreads) {
    StartLogger();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i)
                Logger::Info("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(40, 'p'));
        });
    for (std::thread& t : threads) t.join();
    return 0;
}

TEST(Logger, EightThreadsWriteAllTheirLinesWhole) {
    TestFolder dir;
    RunLogger(dir, "LoggerThreads");
    const std::regex whole(R"(<2024_03_05-120000\.000[+-]\d{4}[sdi]>\(\d+\)\{INFO \}:thread (\d) line (\d+) p{40})");
    std::set<std::pair<int, int>> seen;
    std::size_t matching = 0;
    for (const std::string& line : FileLines(DayFile(dir.Utf8()))) {
        std::smatch m;
        if (line.find("thread ") == std::string::npos) continue;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << "broken line: " << line;
        ++matching;
        seen.emplace(std::stoi(m[1]), std::stoi(m[2]));
    }
    EXPECT_EQ(matching, 16000u);
    EXPECT_EQ(seen.size(), 16000u);
}

VAROMET_CHILD_CASE(LoggerStart) {
    return StartLogger() ? 0 : 1;
}

TEST(Logger, InitAppendsAHeaderToAnExistingDayFile) {
    TestFolder dir;
    std::filesystem::create_directory(dir.Utf8In("L"));
    ASSERT_TRUE(WriteFileBytes(DayFile(dir.Utf8()), "earlier text\r\n"));
    RunLogger(dir, "LoggerStart");
    EXPECT_TRUE(ReadFileBytes(DayFile(dir.Utf8())).starts_with("earlier text\r\n" + kRule + "\r\nL[2024_03_05-120000"));
}

TEST(Logger, InitKeepsTheTenNewestDayFiles) {
    TestFolder dir;
    std::filesystem::create_directory(dir.Utf8In("L"));
    ASSERT_TRUE(WriteFileBytes(dir.Utf8In("L\\notes.txt"), "not a day file"));
    for (int day = 1; day <= 12; ++day) {
        char name[64];
        std::snprintf(name, sizeof name, "L\\zyn_log_file_2024_02_%02d.txt", day);
        ASSERT_TRUE(WriteFileBytes(dir.Utf8In(name), "old"));
        std::int64_t units = UtcUnits(2024, 2, day, 12, 0, 0) + 116444736000000000;
        FILETIME stamp{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
        ZYNSysKernelHandle file(::CreateFileW(ToolBox::Utf8ToWide(dir.Utf8In(name)).c_str(), FILE_WRITE_ATTRIBUTES, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, nullptr, &stamp));
    }
    RunLogger(dir, "LoggerStart");
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Utf8In("L")))
        left.insert(entry.path().filename().string());
    std::set<std::string> expected = {"notes.txt", "zyn_log_file_2024_03_05.txt"};
    for (int day = 4; day <= 12; ++day)
        expected.insert("zyn_log_file_2024_02_" + std::string(day < 10 ? "0" : "") + std::to_string(day) + ".txt");
    EXPECT_EQ(left, expected);
}

VAROMET_CHILD_CASE(LoggerEventCut) {
    FakeEvents events;
    ScopedEventSink installedEvents(events);
    Logger::ThrowEvent(40, std::string(40000, 'e'), 7);
    // The cut falls inside a surrogate pair: the lone half is dropped.
    Logger::ThrowEvent(50, std::string(31838, 'e') + "\xF0\x9F\x98\x80", 1);
    for (const FakeEvents::Event& e : events.events)
        Say("event", std::to_string(e.type) + " " + std::to_string(e.category) + " " + std::to_string(e.text.size()) +
                         " " + std::to_string(e.text.back()));
    return 0;
}

TEST(Logger, EventTextIsCutToWhatOneEventStringHolds) {
    TestFolder dir;
    ChildProcess::Result child = RunLogger(dir, "LoggerEventCut");
    EXPECT_EQ(Said(child.output, "event"), (std::vector<std::string>{"2 7 31839 101", "1 1 31838 101"}));
}

// A line holding a NUL, and one holding a byte that is no UTF-8, to every sink.
VAROMET_CHILD_CASE(LoggerNulLine) {
    FakeEvents events;
    ScopedEventSink installedEvents(events);
    StartLogger("SUPER_LOGGER\nLOGLEVEL=all");
    Logger::Info(std::string("before\0after", 12));
    Logger::Info("not \xFF UTF-8, after");
    SayEvents(events);
    return 0;
}

namespace {

// Each text the debugger got, between brackets.
std::string Joined(const std::vector<std::string>& texts) {
    std::string all;
    for (const std::string& text : texts) all += "[" + text + "]\n";
    return all;
}

}  // namespace

TEST(Logger, LinesHoldingANulOrABrokenCharacterReachTheDebuggerAndTheEventLogWhole) {
    TestFolder dir;
    const std::vector<std::string> events = Said(RunLogger(dir, "LoggerNulLine").output, "event");
    const DebuggedChild::Result debugged =
        DebuggedChild::Run("LoggerNulLine",
                           {{L"VAROMET_TEST_DIR", dir.Path()}, {L"WEX_TRQ_TMP", L""}, {L"WEX_TRQ_UUID", L""},
                            {L"WEX_TRQ_EXECTOOL", L""}, {L"TrqConfPath", L""}},
                           true);
    ASSERT_TRUE(debugged.started) << debugged.error;
    // The debugger gets the text in the ANSI code page under Wine: the broken character's
    // stand-in may read otherwise there. The event's echo brings each line to the debugger twice.
    struct Case {
        const char* name;
        std::string event, debugger;  // how the line ends
    } cases[] = {{"NUL", "{INFO }:before\\0after", "{INFO }:before\\0after"},
                 {"broken character", "{INFO }:not \xEF\xBF\xBD UTF-8, after", " UTF-8, after"}};
    for (const Case& c : cases) {
        const auto endsWith = [](const std::string& ending) {
            return [&ending](std::string text) {
                if (text.ends_with("\r\n")) text.resize(text.size() - 2);
                return text.ends_with(ending);
            };
        };
        EXPECT_EQ(std::count_if(events.begin(), events.end(), endsWith(c.event)), 1) << c.name << ": event log";
        EXPECT_NE(std::count_if(debugged.debugStrings.begin(), debugged.debugStrings.end(), endsWith(c.debugger)), 0)
            << c.name << ": debugger\n" << Joined(debugged.debugStrings);
    }
}

VAROMET_CHILD_CASE(LoggerNames) {
    SetClock(&g_clock);
    return Logger::Init("Varomet_backbone\\..\\a:b*c\\.", ChildDir(), "base|x?") ? 0 : 1;
}

TEST(Logger, NameAndBaseFileNameAreSanitised) {
    TestFolder dir;
    RunLogger(dir, "LoggerNames");
    EXPECT_TRUE(PathExists(dir.Utf8In("Varomet_backbone\\_\\a_b_c\\_\\base_x__2024_03_05.txt")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

VAROMET_CHILD_CASE(LoggerNameComponents) {
    SetClock(&g_clock);
    return Logger::Init(ChildArg(), ChildDir(), "") ? 0 : 1;
}

TEST(Logger, NameComponentsOfDotsAndBlanksOrWithATrailingOneAreReplaced) {
    // Windows drops trailing dots and blanks from a name, so ".. " can stand for ".." and
    // "a." for "a": neither may reach the file system as it is.
    struct Case {
        const char* name;
        const char* folder;
    };
    const Case cases[] = {
        {"V\\.. \\u", "V\\_\\u"},
        {"V\\. .\\u", "V\\_\\u"},
        {"V\\ \\u", "V\\_\\u"},
        {"V\\run.\\u", "V\\run_\\u"},
        {"V\\run .\\u ", "V\\run__\\u_"},
        {"V\\ run\\u.x", "V\\ run\\u.x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder dir;
        RunLogger(dir, "LoggerNameComponents", c.name);
        EXPECT_TRUE(PathExists(dir.Utf8In(std::string(c.folder) + "\\zyn_log_file_2024_03_05.txt")));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    }
}

VAROMET_CHILD_CASE(LoggerRelativeFolder) {
    SetClock(&g_clock);
    ::SetCurrentDirectoryW(ToolBox::Utf8ToWide(ChildDir()).c_str());
    ::CreateDirectoryW(L"logs", nullptr);
    Say("init", Logger::Init("L", "logs", "") ? "true" : "false");
    Logger::Info("relative");
    return 0;
}

TEST(Logger, AFolderGivenRelativeToTheCurrentOneGetsItsLoggerFolder) {
    TestFolder dir;
    ChildProcess::Result child = RunLogger(dir, "LoggerRelativeFolder");
    EXPECT_EQ(SaidOne(child.output, "init"), "true");
    EXPECT_EQ(Count(FileLines(DayFile(dir.Utf8In("logs"))), "{INFO }:relative"), 1u);
}

VAROMET_CHILD_CASE(LoggerMixedEchoes) {
    StartLogger();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                std::string text =
                    "echo " + std::to_string(t) + " line " + std::to_string(i) + " " + std::string(40, 'p');
                if (t % 2) Logger::DeferredDebug(text);
                else Logger::Info(text);
            }
        });
    for (std::thread& t : threads) t.join();
    return 0;
}

TEST(Logger, EchoedLinesStayWholeWhenImmediateAndQueuedLinesMeet) {
    TestFolder dir;
    ChildProcess::Result child = RunLogger(dir, "LoggerMixedEchoes");
    const std::regex whole(
        R"(<2024_03_05-120000\.000[+-]\d{4}[sdi]>\(\d+\)\{(INFO |DEBUG)\}:echo (\d) line (\d+) p{40})");
    std::set<std::pair<int, int>> seen;
    std::size_t broken = 0;
    std::istringstream output(child.output);
    for (std::string line; std::getline(output, line);) {
        if (line.find("echo ") == std::string::npos) continue;
        std::smatch m;
        if (!std::regex_match(line, m, whole)) {
            if (++broken <= 3) ADD_FAILURE() << "broken echo: " << line;
            continue;
        }
        seen.emplace(std::stoi(m[2]), std::stoi(m[3]));
    }
    EXPECT_EQ(broken, 0u);
    EXPECT_EQ(seen.size(), 16000u);
}

VAROMET_CHILD_CASE(LoggerPendingCap) {
    for (int i = 0; i < 10050; ++i) Logger::DeferredInternal("p" + std::to_string(i));
    StartLogger();
    Logger::Info("go");
    return 0;
}

TEST(Logger, PendingQueueKeepsOnlyTheNewestLines) {
    TestFolder dir;
    RunLogger(dir, "LoggerPendingCap");
    std::vector<std::string> lines = FileLines(DayFile(dir.Utf8()));
    // The queue holds 10,000 lines: the 10,050 sent and the logger's own start lines share it.
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("|#LNI#|"); }),
              10000);
    EXPECT_EQ(Count(lines, "|#LNI#|p0"), 0u);
    EXPECT_EQ(Count(lines, "|#LNI#|p10049"), 1u);
}
