#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TestFolder.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysPath.h"
#include "ZYNSysTraceClient.h"
#include "ZYNSysTraceManager.h"
#include "ZYNSysTraceOptions.h"
#include "ZYNSysTraceOutput.h"
#include "ZYNSysWin.h"

namespace {

using Env = std::vector<ChildProcess::EnvironmentChange>;

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The per-process folders under <root>\ZYNSysTrace.
std::vector<std::wstring> ProcessFolders(const std::wstring& root) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW entry;
    ZYNSysFindHandle search(::FindFirstFileW((root + L"\\ZYNSysTrace\\D*").c_str(), &entry));
    if (!search) return found;
    do {
        found.push_back(root + L"\\ZYNSysTrace\\" + entry.cFileName);
    } while (::FindNextFileW(search.Get(), &entry));
    return found;
}

// The child's environment: every trace variable cleared unless the case sets it.
ChildProcess::Result RunTraced(const char* name, const TestFolder& folder, Env changes) {
    Env environment = {{L"ZYNSysTrace", std::nullopt}, {L"QORTraDecDir", std::nullopt},
                       {L"QORTemp", std::nullopt}, {L"QORTraceDir", folder.Path()}};
    environment.insert(environment.end(), changes.begin(), changes.end());
    return ChildProcess::Run(name, environment);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        if (!part.empty()) parts.push_back(part);
    }
    return parts;
}

}  // namespace

// Writes "line from NAME" through a client for each name of TRACE_TEST_NAMES ('/' between).
VAROMET_CHILD_CASE(TraceWritesThroughNames) {
    const char* names = std::getenv("TRACE_TEST_NAMES");
    for (const std::string& name : Split(names ? names : "", '/')) {
        ZYNSysTraceClient* client = nullptr;
        ZYNSysTraceClient::Create(&client, name.c_str());
        if (client == nullptr) {
            std::printf("no client for %s\n", name.c_str());
        } else if (std::getenv("TRACE_TEST_SILENT") == nullptr) {
            ZYNSysTraceClient::InfoPrintf(client, "line from %s", name.c_str());
        }
        std::fflush(stdout);
    }
    return 0;
}

TEST(ZYNSysTrace, DeclaresWhatTheEnvironmentAndOptionFilesSay) {
    // From its second byte on (" -o LONGVALUE ..."), the same value is 511 bytes long.
    const std::string longValue = " -o LONGVALUE " + std::string(512 - 14, 'x');
    const char* const kLongValue = longValue.c_str();
    struct Case {
        const char* name;
        const char* trace;        // "ZYNSysTrace", or null for unset
        const char* optionFile;   // contents of OPFILE.1, or null for no option folder
        const char* names;
        std::vector<std::string> inOutput;
        std::vector<std::string> notInOutput;
        std::vector<std::pair<std::wstring, std::string>> files;  // per-process file, text in it
        std::vector<std::wstring> noFiles;
    };
    const Case cases[] = {
        {"unset: only COMMON, on standard output", nullptr, nullptr, "COMMON/ZYNSysPath",
         {"] line from COMMON\r\n", "no client for ZYNSysPath\r\n"}, {"line from ZYNSysPath"}, {}, {}},
        {"the path trace on standard output", "-o ZYNSysPath", nullptr, "ZYNSysPath/COMMON",
         {"[ZYNSysPath]", "] line from ZYNSysPath\r\n", "] line from COMMON\r\n"}, {}, {}, {}},
        {"the launcher's value for anne-odile goes to its file", "-k Prf Http HTTP -flog_anne-odile.txt", nullptr,
         "Http/HTTP/Prf/k",
         {"no client for k\r\n"}, {"line from Http", "line from Prf"},
         {{L"log_anne-odile.txt", "[Http]"}, {L"log_anne-odile.txt", "] line from HTTP\r\n"},
          {L"log_anne-odile.txt", "] line from Prf\r\n"}},
         {}},
        {"a ring of 4096 bytes", "-fnet.txt NET -m4096", nullptr, "NET", {}, {"line from NET"},
         {{L"net.txt", "] line from NET\r\n"}}, {}},
        {"a colon cuts the file name and ends the reading", "NET -fab:c.txt", nullptr, "NET", {}, {"line from NET"},
         {{L"ab", "] line from NET\r\n"}}, {L"c.txt", L"ab:c.txt"}},
        {"a failing element reads the option files", "no output here", "-fopt.txt OPT\r\n-o LAST", "OPT/LAST",
         {"] line from LAST\r\n"}, {"no client"}, {{L"opt.txt", "] line from OPT\r\n"}}, {}},
        {"long options", "--name LONG --file long.txt --local-time", nullptr, "LONG", {}, {"no client"},
         {{L"long.txt", "] line from LONG\r\n"}}, {}},
        {"an inactive output keeps its client and writes nothing", "-o OFF -n", nullptr, "OFF", {},
         {"line from OFF", "no client"}, {}, {}},
        {"a lower level bound of 1 silences level 0", "-o LOW -i1", nullptr, "LOW", {}, {"line from LOW", "no client"},
         {}, {}},
        {"an upper level bound lets level 0 through", "-o HIGH -l5", nullptr, "HIGH", {"] line from HIGH\r\n"}, {},
         {}, {}},
        {"a value of 511 bytes is read", kLongValue + 1, nullptr, "LONGVALUE", {"] line from LONGVALUE"}, {}, {}, {}},
        {"two file outputs share the process's one folder", "-fa.txt A|-fb.txt B", nullptr, "A/B", {}, {"no client"},
         {{L"a.txt", "] line from A\r\n"}, {L"b.txt", "] line from B\r\n"}}, {}},
        {"a tab splits no token", "-o TAB\tNAME", nullptr, "TAB\tNAME/TAB/NAME",
         {"] line from TAB\tNAME\r\n", "no client for TAB\r\n", "no client for NAME\r\n"}, {}, {}, {}},
        {"a value of 512 bytes is ignored", kLongValue, nullptr, "LONGVALUE", {"no client for LONGVALUE"}, {}, {}, {}},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        Env environment = {{L"TRACE_TEST_NAMES", Wide(c.names)}};
        if (c.trace != nullptr) environment.push_back({L"ZYNSysTrace", Wide(c.trace)});
        if (c.optionFile != nullptr) {
            ::CreateDirectoryW(folder.In(L"options").c_str(), nullptr);
            std::ofstream(folder.In(L"options\\OPFILE.1").c_str(), std::ios::binary) << c.optionFile;
            std::ofstream(folder.In(L"options\\OPFILE.txt").c_str(), std::ios::binary) << "-o NOTREAD";
            environment.push_back({L"QORTraDecDir", folder.In(L"options\\")});
        }
        const ChildProcess::Result child = RunTraced("TraceWritesThroughNames", folder, environment);
        ASSERT_TRUE(child.started) << c.name << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name;
        for (const std::string& text : c.inOutput) {
            EXPECT_NE(child.output.find(text), std::string::npos) << c.name << ": " << text << " in\n" << child.output;
        }
        for (const std::string& text : c.notInOutput) {
            EXPECT_EQ(child.output.find(text), std::string::npos) << c.name << ": " << text << " in\n" << child.output;
        }
        const std::vector<std::wstring> folders = ProcessFolders(folder.Path());
        if (c.files.empty()) {
            EXPECT_TRUE(folders.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(folders.size(), 1u) << c.name;
        for (const auto& file : c.files) {
            const std::string text = ReadAll(folders[0] + L"\\" + file.first);
            EXPECT_NE(text.find(file.second), std::string::npos) << c.name << ": " << file.second << " in\n" << text;
            EXPECT_EQ(text.find("[I]"), c.trace && std::string(c.trace).find("-m") != std::string::npos
                                            ? std::string::npos
                                            : 0u)
                << c.name;
        }
        for (const std::wstring& file : c.noFiles) EXPECT_FALSE(Exists(folders[0] + L"\\" + file)) << c.name;
    }
}

TEST(ZYNSysTrace, AnOutputThatNeverWritesLeavesNoFileNorFolder) {
    TestFolder folder;
    const ChildProcess::Result child = RunTraced(
        "TraceWritesThroughNames", folder,
        {{L"ZYNSysTrace", L"-fquiet.txt QUIET"}, {L"TRACE_TEST_NAMES", L"QUIET"}, {L"TRACE_TEST_SILENT", L"1"}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u);
    EXPECT_TRUE(Exists(folder.In(L"ZYNSysTrace")));
    EXPECT_TRUE(ProcessFolders(folder.Path()).empty());
}

VAROMET_CHILD_CASE(TraceWarningAndError) {
    ZYNSysTraceClient* client = nullptr;
    ZYNSysTraceClient::Create(&client, "WARN");
    if (client == nullptr) return 3;
    if (ZYNSysTraceClient::WarningPrintf(client, "hello %d", 7) != 0) return 4;
    if (ZYNSysTraceClient::ErrorPrintf(client, "file.cpp", 42, "%s", "boom") != 0) return 5;
    if (ZYNSysTraceClient::InfoPrintf(client, "%s", "") != -1) return 6;  // nothing to write
    if (ZYNSysTraceClient::InfoPrintf(client, nullptr) != -1) return 7;
    return 0;
}

TEST(ZYNSysTrace, LinesCarrySeverityTimeNameAndThread) {
    TestFolder folder;
    const ChildProcess::Result child = RunTraced("TraceWarningAndError", folder, {{L"ZYNSysTrace", L"-e WARN"}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    const std::regex expected(
        "\\[W\\]\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\\]\\[WARN\\]\\[[0-9A-F]{16}\\] hello 7\r\n"
        "\\[E\\]\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\\]\\[WARN\\]\\[[0-9A-F]{16}\\]\\(file\\.cpp : 42\\) "
        "boom\r\n");
    EXPECT_TRUE(std::regex_match(child.output, expected)) << child.output;
}

VAROMET_CHILD_CASE(TraceEightThreadsAndALongMessage) {
    ZYNSysTraceClient* client = nullptr;
    ZYNSysTraceClient::Create(&client, "MANY");
    if (client == nullptr) return 3;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([client, t] {
            try {
                for (int i = 0; i < 300; ++i) {
                    ZYNSysTraceClient::InfoPrintf(client, "thread %d line %03d %s", t, i,
                                                  "................................................");
                }
            } catch (...) {
                std::fprintf(stderr, "thread %d threw\n", t);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const std::string long_(5000, 'x');
    return ZYNSysTraceClient::InfoPrintf(client, "%s|end", long_.c_str()) == 0 ? 0 : 4;
}

TEST(ZYNSysTrace, ThreadsWriteWholeLinesAndALongMessageIsWrittenWhole) {
    TestFolder folder;
    const ChildProcess::Result child =
        RunTraced("TraceEightThreadsAndALongMessage", folder, {{L"ZYNSysTrace", L"-fmany.txt MANY"}});
    ASSERT_TRUE(child.started) << child.output;
    ASSERT_EQ(child.exitCode, 0u) << child.output;
    const std::vector<std::wstring> folders = ProcessFolders(folder.Path());
    ASSERT_EQ(folders.size(), 1u);
    std::istringstream in(ReadAll(folders[0] + L"\\many.txt"));
    const std::regex line("\\[I\\]\\[[^\\]]+\\]\\[MANY\\]\\[[0-9A-F]{16}\\] thread [0-7] line \\d{3} \\.{48}\r");
    int lines = 0;
    std::string text, last;
    while (std::getline(in, text)) {
        if (text.find("|end") != std::string::npos) {
            last = text;
            continue;
        }
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        ++lines;
    }
    EXPECT_EQ(lines, 8 * 300);
    EXPECT_NE(last.find(" " + std::string(5000, 'x') + "|end\r"), std::string::npos) << last.size();
}

VAROMET_CHILD_CASE(TraceDestroyedClientStillWrites) {
    ZYNSysTraceClient* slot = nullptr;
    ZYNSysTraceClient::Create(&slot, "KEEP");
    ZYNSysTraceClient* held = slot;  // what another thread read just before the slot emptied
    if (held == nullptr) return 3;
    ZYNSysTraceClient::Destroy(&slot);
    if (slot != nullptr) return 4;
    std::vector<char*> churn;  // reuses freed memory, as a busy process would
    for (int i = 0; i < 64; ++i) churn.push_back(new char[sizeof(void*) * 12]());
    const int written = ZYNSysTraceClient::InfoPrintf(held, "after destroy");
    for (char* p : churn) delete[] p;
    return written == 0 ? 0 : 5;
}

TEST(ZYNSysTrace, ADestroyedClientLivesOnForThreadsThatStillHoldIt) {
    TestFolder folder;
    const ChildProcess::Result child = RunTraced("TraceDestroyedClientStillWrites", folder, {{L"ZYNSysTrace", L"-o KEEP"}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    EXPECT_NE(child.output.find("[KEEP]"), std::string::npos) << child.output;
    EXPECT_NE(child.output.find("] after destroy\r\n"), std::string::npos) << child.output;
}

namespace {

ZYNSysTraceClient* g_lateClient = nullptr;

void TraceAfterTheExitHook() {
    ZYNSysTraceClient::InfoPrintf(g_lateClient, "traced after the exit hook");
}

std::atomic<bool> g_exitWindow{false};
std::atomic<int> g_linesBeforeExit{0};
std::atomic<int> g_linesInExitWindow{0};

// Runs after the trace's own exit hook and holds the process open while the other thread
// keeps tracing.
void HoldTheExitOpen() {
    g_exitWindow = true;
    for (int i = 0; i < 400 && g_linesInExitWindow < 20; ++i) ::Sleep(5);
    g_exitWindow = false;
}

}  // namespace

// Registered before the trace's hook, so it runs after it.
VAROMET_CHILD_CASE(TraceFromAnExitHandlerAfterTheTraceCloses) {
    std::atexit(&TraceAfterTheExitHook);
    ZYNSysTraceClient::Create(&g_lateClient, "LATE");
    if (g_lateClient == nullptr) return 3;
    return ZYNSysTraceClient::InfoPrintf(g_lateClient, "traced before exit") == 0 ? 0 : 4;
}

// A second thread traces through a client destroyed earlier while the main thread exits.
VAROMET_CHILD_CASE(TraceThroughADestroyedClientWhileExiting) {
    std::atexit(&HoldTheExitOpen);
    ZYNSysTraceClient* slot = nullptr;
    ZYNSysTraceClient::Create(&slot, "EXITING");
    ZYNSysTraceClient* held = slot;
    if (held == nullptr) return 3;
    ZYNSysTraceClient::Destroy(&slot);
    std::thread([held] {
        try {
            for (;;) {
                const bool inWindow = g_exitWindow;
                const int written = ZYNSysTraceClient::InfoPrintf(held, "still tracing");
                // Only a failure seen while the exit handlers run counts: afterwards the
                // runtime closes its streams.
                if (inWindow && g_exitWindow) {
                    if (written != 0) ::TerminateProcess(::GetCurrentProcess(), 7);
                    ++g_linesInExitWindow;
                } else if (!inWindow) {
                    ++g_linesBeforeExit;
                }
                ::Sleep(1);
            }
        } catch (...) {
            ::TerminateProcess(::GetCurrentProcess(), 8);
        }
    }).detach();
    for (int i = 0; i < 400 && g_linesBeforeExit < 5; ++i) ::Sleep(5);
    std::exit(0);
}

TEST(ZYNSysTrace, TracingGoesOnWhileTheProcessExits) {
    struct Case {
        const char* name;
        const char* childCase;
        const wchar_t* trace;
        const char* expected;  // in the child's output
    };
    const Case cases[] = {
        {"standard output stays bound after the exit hook", "TraceFromAnExitHandlerAfterTheTraceCloses", L"-o LATE",
         "] traced after the exit hook\r\n"},
        {"a destroyed client stays valid through exit", "TraceThroughADestroyedClientWhileExiting", L"-o EXITING",
         "] still tracing\r\n"},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        const ChildProcess::Result child = RunTraced(c.childCase, folder, {{L"ZYNSysTrace", c.trace}});
        ASSERT_TRUE(child.started) << c.name << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name;
        EXPECT_NE(child.output.find(c.expected), std::string::npos) << c.name << ":\n" << child.output.substr(0, 400);
    }
}

// Someone else made every per-process folder this process could name in the coming seconds.
VAROMET_CHILD_CASE(TraceIntoAProcessFolderMadeBeforehand) {
    wchar_t directory[2048];
    if (GetTraceDirectory(directory, 2048) != 0) return 3;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    for (int second = -2; second < 30; ++second) {
        ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
        ticks.QuadPart += static_cast<ULONGLONG>(second * 10000000LL);
        const FILETIME shifted{ticks.LowPart, ticks.HighPart};
        SYSTEMTIME when;
        if (!::FileTimeToSystemTime(&shifted, &when)) return 4;
        wchar_t folder[2200];
        std::swprintf(folder, 2200, L"%ls\\D%d%02d%02d_T%02d%02d%02d_P%08d_I", directory, when.wYear, when.wMonth,
                      when.wDay, when.wHour, when.wMinute, when.wSecond, static_cast<int>(::GetCurrentProcessId()));
        ::CreateDirectoryW(folder, nullptr);
    }
    ZYNSysTraceClient* client = nullptr;
    ZYNSysTraceClient::Create(&client, "PREMADE");
    if (client == nullptr) return 5;
    return ZYNSysTraceClient::InfoPrintf(client, "into someone else's folder") == -1 ? 0 : 6;
}

TEST(ZYNSysTrace, AProcessFolderThatAlreadyExistsIsRefused) {
    TestFolder folder;
    const ChildProcess::Result child =
        RunTraced("TraceIntoAProcessFolderMadeBeforehand", folder, {{L"ZYNSysTrace", L"-fpremade.txt PREMADE"}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    for (const std::wstring& made : ProcessFolders(folder.Path())) {
        EXPECT_FALSE(Exists(made + L"\\premade.txt")) << std::string(made.begin(), made.end());
    }
}

// The first client starts the manager, whose option-file folder is not a valid path: the
// path failure traces while the option files are being read. The child then fails the same
// path itself, through the client that nested trace kept.
VAROMET_CHILD_CASE(TracePathFailureWhileReadingOptionFiles) {
    ZYNSysTraceClient* common = nullptr;
    ZYNSysTraceClient::Create(&common, "COMMON");
    if (common == nullptr) return 3;
    ZYNSysTraceClient::InfoPrintf(common, "line from COMMON");
    const char* folder = std::getenv("QORTraDecDir");
    ZYNSysPath path;
    if (folder == nullptr || path.BuildFromUTF8(folder) == 0) return 4;
    std::fflush(stdout);
    return 0;
}

TEST(ZYNSysTrace, APathFailureWhileOptionFilesAreReadBindsToWhatIsDeclaredSoFar) {
    struct Case {
        const char* name;
        const wchar_t* folder;   // "QORTraDecDir"
        const char* traced;      // the path failure's line
    };
    const Case cases[] = {
        {"a letter and a backslash", L"a\\b", "] BuildFromUTF8 Failed : Path is a\\b\r\n"},
        {"a forbidden character", L"C:\\x<y", "] BuildFromUTF8 Failed : Path is C:\\x<y\r\n"},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        // The path trace is declared before the element that fails and sends the manager to
        // its option files.
        const ChildProcess::Result child =
            RunTraced("TracePathFailureWhileReadingOptionFiles", folder,
                      {{L"ZYNSysTrace", L"-o ZYNSysPath|no output here"}, {L"QORTraDecDir", c.folder}});
        ASSERT_TRUE(child.started) << c.name << ": " << child.output;
        EXPECT_EQ(child.exitCode, 0u) << c.name << ": " << child.output;
        EXPECT_NE(child.output.find(c.traced), std::string::npos) << c.name << ": " << child.output;
        // Read once: a second initialisation would declare and open everything again.
        const std::size_t common = child.output.find("] line from COMMON\r\n");
        EXPECT_NE(common, std::string::npos) << c.name << ": " << child.output;
        EXPECT_EQ(child.output.find("] line from COMMON", common + 1), std::string::npos) << c.name;
    }
}

TEST(ZYNSysTraceManager, DeclarationLimits) {
    ZYNSysTraceManager manager;
    const std::string name63(63, 'n'), name64(64, 'n');
    struct Case {
        const char* name;
        std::string output;
        std::string trace;
        int expected;
    };
    const Case first[] = {
        {"a 63-byte output name", name63, "A", 0},
        {"a 64-byte output name", name64, "B", -1},
        {"the same name again on its output", name63, "A", 0},
        {"a name already on another output", "STDOUT", "A", -1},
        {"a new name on another output", "STDOUT", "C", 0},
    };
    for (const Case& c : first) EXPECT_EQ(manager.Declare(c.output.c_str(), c.trace.c_str()), c.expected) << c.name;
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(manager.Declare("STDOUT", ("T" + std::to_string(i)).c_str()), 0) << i;
    }
    EXPECT_EQ(manager.Declare("STDOUT", "ONE_TOO_MANY"), -1);
    for (int i = 2; i < ZYNSysTraceManager::kSlots; ++i) {
        ASSERT_EQ(manager.Declare(("out" + std::to_string(i)).c_str(), nullptr), 0) << i;
    }
    EXPECT_EQ(manager.Declare("seventeenth", nullptr), -1);
    struct OptionCase {
        const char* name;
        const char* output;
        int number;
        long value;
        int expected;
    };
    const OptionCase options[] = {
        {"unknown output", "nowhere", 4, 1, -1},
        {"a ring of 0 bytes", "STDOUT", 10, 0, -1},
        {"a ring", "STDOUT", 10, 100000, 0},
        {"numbers 5 to 7 are ignored", "STDOUT", 6, 1, 0},
        {"numbers past 14 are ignored", "STDOUT", 15, 1, 0},
    };
    for (const OptionCase& c : options) {
        EXPECT_EQ(manager.SetOption(c.output, c.number, c.value), c.expected) << c.name;
    }
}

TEST(ZYNSysTraceOptions, SplitCommandLine) {
    struct Case {
        const char* text;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"_ -o  NAME\tX", {"_", "-o", "NAME", "X"}},
        {"a \"b c\" d", {"a", "b c", "d"}},
        {"a\\\\\"b c\"", {"a\\b c"}},
        {"a\\\\\\\"b", {"a\\\"b"}},
        {"a\\b\\\\c", {"a\\b\\\\c"}},
        {"   ", {}},
    };
    for (const Case& c : cases) {
        char** argv = nullptr;
        int argc = -1;
        ASSERT_EQ(SplitCommandLine(c.text, &argv, &argc), 0) << c.text;
        std::vector<std::string> got(argv, argv + argc);
        EXPECT_EQ(got, c.expected) << c.text;
        FreeArgv(argv, argc);
    }
}

TEST(ZYNSysTraceOptions, ParseOptions) {
    struct Case {
        const char* text;
        int expected;
        int badIndex;
        int nameCount;  // --name's counter
    };
    const Case cases[] = {
        {"_ --name A B -o", 0, 0, 3},
        {"_ -on --name A", 0, 0, 2},
        {"_ --name -5", 0, 0, 2},
        {"_ -k A", -1, 1, 0},
        {"_ -o -o", -1, 2, 0},
        {"_ -oo", -1, 1, 0},
        {"_ A", -1, 1, 0},
        {"_ --name --file f", -1, 2, 1},
        {"_ --file a b", -1, 3, 0},
        {"_ --names A", -1, 1, 0},
    };
    for (const Case& c : cases) {
        char** argv = nullptr;
        int argc = 0;
        ASSERT_EQ(SplitCommandLine(c.text, &argv, &argc), 0);
        ZYNSysOption longTable[] = {{"name", true, false, 0, nullptr}, {"file", true, true, 0, nullptr}};
        ZYNSysOption shortTable[] = {{"o", false, false, 0, nullptr}, {"n", false, false, 0, nullptr}};
        int bad = 0;
        EXPECT_EQ(ParseOptions(argc, argv, longTable, 2, shortTable, 2, &bad), c.expected) << c.text;
        EXPECT_EQ(bad, c.badIndex) << c.text;
        if (c.expected == 0) {
            EXPECT_EQ(longTable[0].count, c.nameCount) << c.text;
        }
        FreeArgv(argv, argc);
    }
}
