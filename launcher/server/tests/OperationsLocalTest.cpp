// The launcher's own operations on real folders and files.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Config.h"
#include "LauncherTestSupport.h"
#include "LogSink.h"
#include "OperationsLocal.h"
#include "SessionEnumerator.h"
#include "ToolBox.h"
#include "ZYNSysWin.h"

#include <objbase.h>

namespace {

bool IsFolder(const std::wstring& path) {
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void WriteFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out << bytes;
}

class LocalOperations : public ::testing::Test {
protected:
    RecordingSink sink;
    ScopedLogSink installedSink{sink};
    TestFolder folder;
};

constexpr char kMake[] = "[Operations::Local::MakeFolder]";

TEST_F(LocalOperations, MakeFolderCreatesMissingLevelsAndRefusesFiles) {
    WriteFile(folder.In(L"plain.txt"), "x");
    ::CreateDirectoryW(folder.In(L"there").c_str(), nullptr);
    struct Case {
        const wchar_t* relative;
        bool expected;
        bool folderAtEnd;
    } cases[] = {
        {L"n1\\n2\\n3", true, true},
        {L"there", true, true},
        {L"plain.txt", false, false},
        {L"plain.txt\\below", false, false},
        {L"sl/a//b", true, true},
    };
    for (const Case& c : cases) {
        const std::wstring path = folder.In(c.relative);
        EXPECT_EQ(Operations::Local::MakeFolder(Narrow(path)), c.expected) << Narrow(c.relative) << "\n" << sink.Dump();
        EXPECT_EQ(IsFolder(path), c.folderAtEnd) << Narrow(c.relative);
    }
    EXPECT_TRUE(IsFolder(folder.In(L"sl\\a\\b")));
}

TEST_F(LocalOperations, MakeFolderOnExistingFolderLogsOnlyTheFirstLine) {
    const std::string path = Narrow(folder.Path());
    ASSERT_TRUE(Operations::Local::MakeFolder(path));
    bool queued = false;
    ASSERT_EQ(sink.Lines().size(), 1u) << sink.Dump();
    EXPECT_TRUE(sink.Has(kMake + std::string("try to create this folder : ") + path, &queued));
    EXPECT_TRUE(queued);
}

TEST_F(LocalOperations, MakeFolderReportsCreationAndRefusalsWithTheirTexts) {
    const std::string fresh = Narrow(folder.In(L"fresh"));
    ASSERT_TRUE(Operations::Local::MakeFolder(fresh));
    bool queued = false;
    EXPECT_TRUE(sink.Has(kMake + std::string("(2)successfully created this folder : '") + fresh + "' !", &queued))
        << sink.Dump();
    EXPECT_TRUE(queued);

    EXPECT_FALSE(Operations::Local::MakeFolder(""));
    EXPECT_TRUE(sink.Has(kMake + std::string("empty string was gave.")));

    const std::string file = Narrow(folder.In(L"file.bin"));
    WriteFile(folder.In(L"file.bin"), "1");
    EXPECT_FALSE(Operations::Local::MakeFolder(file));
    EXPECT_TRUE(sink.Has(kMake + std::string("a file already uses this path : ") + file)) << sink.Dump();

    // The shell's maker refuses a relative path.
    EXPECT_FALSE(Operations::Local::MakeFolder("relative-dir-never-made"));
    EXPECT_TRUE(sink.Has(kMake + std::string("(2)The 'relative-dir-never-made' parameter was set to a relative path.")))
        << sink.Dump();
}

// Where levels are missing, the shell's maker keeps MAX_PATH units of the path and makes the
// folders of the shorter text.
TEST_F(LocalOperations, MakeFolderRefusesAPathOfMaxPathUnitsOrMore) {
    const struct Case {
        std::size_t units;
        bool made;
    } cases[] = {{MAX_PATH - 1, true}, {MAX_PATH, false}, {MAX_PATH + 1, false}, {MAX_PATH + 40, false}};
    for (const Case& c : cases) {
        const std::wstring parent = folder.In(std::to_wstring(c.units));
        ASSERT_TRUE(::CreateDirectoryW(parent.c_str(), nullptr));
        ASSERT_LT(parent.size() + 4, c.units) << "the test folder is too deep for this case";
        const std::string path = Narrow(parent + L"\\m\\" + std::wstring(c.units - parent.size() - 3, L'x'));
        ::SetLastError(0);
        EXPECT_EQ(Operations::Local::MakeFolder(path), c.made) << c.units << "\n" << sink.Dump();
        const DWORD reason = ::GetLastError();
        EXPECT_EQ(IsFolder(Widen(path)), c.made) << c.units;
        std::error_code error;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(parent, error), {}), c.made ? 1 : 0) << c.units;
        if (c.made) continue;
        EXPECT_EQ(reason, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << c.units;
        EXPECT_TRUE(sink.Has(kMake + std::string("(2)The path pointed to by '") + path + "' is too long."))
            << c.units << "\n" << sink.Dump();
    }
}

// Level by level, under the memory-check option; the folder comes from the parent.
VAROMET_CHILD_CASE(MakeFolderLevelByLevel) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    char buffer[1024] = {};
    DWORD got = ::GetEnvironmentVariableA("VAROMET_TEST_LEVELS_DIR", buffer, sizeof buffer);
    if (got == 0 || got >= sizeof buffer) return 90;
    const std::string base = buffer;
    Config::Init(base + "\\launcher.conf");
    Config::ActivateOption(67);
    const bool made = Operations::Local::MakeFolder(base + "/a//b/c");
    installedSink.Restore();
    std::printf("%s", sink.Dump().c_str());
    std::fflush(stdout);
    return made ? 0 : 1;
}

TEST_F(LocalOperations, MakeFolderLevelByLevelSplitsTheNormalisedPath) {
    ::CreateDirectoryW(folder.In(L"a").c_str(), nullptr);
    const std::string base = Narrow(folder.Path());
    ::SetEnvironmentVariableA("VAROMET_TEST_LEVELS_DIR", base.c_str());
    ChildProcess::Result run = ChildProcess::Run("MakeFolderLevelByLevel");
    ::SetEnvironmentVariableA("VAROMET_TEST_LEVELS_DIR", nullptr);
    ASSERT_TRUE(run.started) << run.output;
    std::erase(run.output, '\r');
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_TRUE(IsFolder(folder.In(L"a\\b\\c")));
    const std::string lines[] = {
        kMake + std::string("[2]base folder to use : ") + base + "\\a",
        kMake + std::string("creating this folder :") + base + "\\a\\b",
        kMake + std::string("creating this folder :") + base + "\\a\\b\\c",
        kMake + std::string("(2)successfully created this folder : '") + base + "/a//b/c' !",
    };
    for (const std::string& line : lines) EXPECT_NE(run.output.find(line + "\n"), std::string::npos) << line;
}

}  // namespace

namespace {

// The product's data folders are made through the launcher's own operation.
TEST(LauncherStartUp, FoldersOfTheBaseAreMadeByTheLocalOperation) {
    TestFolder folder;
    ProductRun run = RunProduct(folder, {L"nosuchop", L"{}"});
    EXPECT_EQ(run.exitCode, 17u) << run.output;
    EXPECT_NE(run.output.find("[Operations::Local::MakeFolder]try to create this folder : "), std::string::npos)
        << run.output;
}

}  // namespace

namespace {

std::string Helper() { return Narrow(BuiltProgram(VAROMET_EXEC_HELPER_EXE)); }

std::vector<std::string> ReadLines(const std::wstring& path) {
    std::ifstream in{std::filesystem::path(path), std::ios::binary};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class OneSession final : public SessionEnumerator {
public:
    explicit OneSession(bool any) : any_(any) {}
    bool Enumerate(std::vector<SessionInfo>& sessions) override {
        if (any_) sessions.push_back(SessionInfo{7, 0, "Console", true});
        return true;
    }

private:
    bool any_;
};

TEST_F(LocalOperations, ExecuteCmdReportsExitCodesAndStartFailures) {
    const std::string missing = Narrow(folder.In(L"nothing-here.exe"));
    struct Case {
        const char* name;
        std::vector<std::string> cmd;
        bool runas;
        std::int32_t timeoutMs;
        bool expected;
        std::int32_t exitCode;  // 77: untouched
    } cases[] = {
        {"exit 3", {Helper(), "exit", "3"}, false, 20000, true, 3},
        {"access violation", {Helper(), "exit", "3221225477"}, false, 20000, true, -1073741819},
        {"infinite wait", {Helper(), "exit", "9"}, false, -1, true, 9},
        {"runas exit 5", {Helper(), "exit", "5"}, true, 20000, true, 5},
        {"missing program", {missing, "exit", "1"}, false, 20000, false, 77},
        {"sleeping child times out", {Helper(), "sleep", "3000"}, false, 200, false, 77},
    };
    for (const Case& c : cases) {
        std::int32_t exitCode = 77;
        EXPECT_EQ(Operations::Local::ExecuteCmd(c.cmd, exitCode, false, c.timeoutMs, c.runas, -1), c.expected)
            << c.name << "\n" << sink.Dump();
        EXPECT_EQ(exitCode, c.exitCode) << c.name;
    }
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd] CreateProcessW failed !"));
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd] Waiting for process to end timeout after [200] ms !"));
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd] launch command successed ! (rc:-1073741819)"));
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd] ShellExecuteExW successed !"));
}

// Told by COM of every apartment the thread enters or leaves.
class ApartmentSpy final : public IInitializeSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IInitializeSpy)) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE PreInitialize(DWORD model, DWORD) override {
        events += "enter " + std::to_string(model) + ";";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostInitialize(HRESULT result, DWORD, DWORD) override { return result; }
    HRESULT STDMETHODCALLTYPE PreUninitialize(DWORD) override {
        events += "leave;";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostUninitialize(DWORD) override { return S_OK; }
    std::string events;
};

// The shell's start needs a single-threaded apartment without the old DDE, and the thread
// leaves it afterwards.
TEST_F(LocalOperations, ElevatedStartRunsInAnApartmentOfItsOwn) {
    ApartmentSpy spy;
    ULARGE_INTEGER cookie{};
    ASSERT_EQ(::CoRegisterInitializeSpy(&spy, &cookie), S_OK);
    std::int32_t exitCode = 77;
    const bool started = Operations::Local::ExecuteCmd({Helper(), "exit", "5"}, exitCode, false, 20000, true, -1);
    ::CoRevokeInitializeSpy(cookie);
    EXPECT_TRUE(started) << sink.Dump();
    EXPECT_EQ(exitCode, 5);
    const std::string entered = "enter " + std::to_string(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) + ";";
    EXPECT_EQ(spy.events.substr(0, entered.size()), entered) << spy.events;
    EXPECT_TRUE(spy.events.ends_with("leave;")) << spy.events;
}

TEST_F(LocalOperations, ExecuteCmdWithoutTimeoutReturnsAtOnce) {
    for (bool runas : {false, true}) {
        std::int32_t exitCode = 77;
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_TRUE(Operations::Local::ExecuteCmd({Helper(), "sleep", "4000"}, exitCode, false, 0, runas, -1))
            << runas;
        EXPECT_LT(::GetTickCount64() - start, 2500u) << runas;
        EXPECT_EQ(exitCode, 0) << runas;
    }
}

TEST_F(LocalOperations, ExecuteCmdQuotesAProgramWithBlanks) {
    const std::wstring blankFolder = folder.In(L"with blank");
    ASSERT_TRUE(::CreateDirectoryW(blankFolder.c_str(), nullptr));
    const std::wstring copy = blankFolder + L"\\exec helper.exe";
    ASSERT_TRUE(::CopyFileW(Widen(Helper()).c_str(), copy.c_str(), TRUE));
    struct Case {
        const char* name;
        bool runas;
        std::vector<std::string> tail;
        std::vector<std::string> expected;
    } cases[] = {
        {"plain", false, {"x", "y"}, {"x", "y"}},
        {"runas, empty element adds nothing", true, {"", "z"}, {"z"}},
    };
    for (const Case& c : cases) {
        const std::wstring out = folder.In(Widen(std::string(c.name).substr(0, 5)) + L".txt");
        std::vector<std::string> cmd = {Narrow(copy), "argv", Narrow(out)};
        cmd.insert(cmd.end(), c.tail.begin(), c.tail.end());
        std::int32_t exitCode = 77;
        ASSERT_TRUE(Operations::Local::ExecuteCmd(cmd, exitCode, false, 20000, c.runas, -1)) << c.name << sink.Dump();
        EXPECT_EQ(exitCode, 0) << c.name;
        std::vector<std::string> expected = {Narrow(copy), "argv", Narrow(out)};
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(ReadLines(out), expected) << c.name;
    }
    EXPECT_TRUE(sink.Has("[Operations::Local::ExecuteCmd]Try to launch command : [\"" + Narrow(copy) + "\" argv " +
                         Narrow(folder.In(L"plain.txt")) + " x y]"))
        << sink.Dump();
}

TEST_F(LocalOperations, ExecuteCmdAsSessionUserUsesTheGivenOrActiveSession) {
    struct Case {
        const char* name;
        std::int32_t sessionId;
        bool anySession;
        bool expected;
        const char* logged;
    } cases[] = {
        {"explicit session", 1, false, true, "[Operations::Local::ExecuteCmd] CreateProcessAsUserW successed !"},
        {"active session", -1, true, true, "[Operations::Local::ExecuteCmd] CreateProcessAsUserW successed !"},
        {"no active session", 0, false, false,
         "[Operations::Local::ExecuteCmd]Fail to retrieve current active session id !"},
    };
    for (const Case& c : cases) {
        OneSession sessions(c.anySession);
        ScopedSessionEnumerator installedSessions(sessions);
        std::int32_t exitCode = 77;
        const bool ran =
            Operations::Local::ExecuteCmd({Helper(), "exit", "4"}, exitCode, true, 20000, false, c.sessionId);
        EXPECT_EQ(ran, c.expected) << c.name << "\n" << sink.Dump();
        EXPECT_EQ(exitCode, c.expected ? 4 : 77) << c.name;
        EXPECT_TRUE(sink.Has(c.logged)) << c.name;
    }
}

TEST_F(LocalOperations, CheckFileTestsKindThenAccess) {
    WriteFile(folder.In(L"f.txt"), "data");
    const std::string file = Narrow(folder.In(L"f.txt"));
    const std::string dir = Narrow(folder.Path());
    const std::string none = Narrow(folder.In(L"none"));
    struct Case {
        std::string path;
        std::int32_t kind;
        std::int32_t access;
        bool expected;
    } cases[] = {
        {file, 0, 0, true},  {dir, 0, 0, true},   {none, 0, 0, false}, {file, 1, 0, true},  {dir, 1, 0, false},
        {file, 2, 0, false}, {dir, 2, 0, true},   {file, 1, 1, true},  {file, 1, 2, true},  {file, 1, 3, true},
        {dir, 2, 3, true},   {file, 1, 4, false}, {file, 3, 0, false}, {none, 1, 4, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Operations::Local::CheckFile(c.path, c.kind, c.access), c.expected)
            << c.path << " kind " << c.kind << " access " << c.access << "\n" << sink.Dump();
    }
    EXPECT_TRUE(sink.Has("[Operations::Local::CheckFile] unsupported access check : 4"));
    EXPECT_TRUE(sink.Has("[Operations::Local::CheckFile] unsupported kind check : 3"));
    EXPECT_TRUE(sink.Has("[Operations::Local::CheckFile] is file[" + dir + "]: false"));
    EXPECT_TRUE(sink.Has("[Operations::Local::CheckFile] check for file [" + file +
                         "] this access right setup [1][1179785] : true"))
        << sink.Dump();
}

}  // namespace

namespace {

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

TEST_F(LocalOperations, UnzipRefusesEmptyOrMissingArguments) {
    WriteFile(folder.In(L"a.zip"), TinyZip());
    const std::string zip = Narrow(folder.In(L"a.zip"));
    const std::string target = Narrow(folder.In(L"out"));
    struct Case {
        std::string zip;
        std::string target;
        std::int32_t expected;
        std::string logged;
    } cases[] = {
        {"", target, 1, "[Operations::Local::Unzip]Zip file path is empty."},
        {Narrow(folder.In(L"none.zip")), target, 2,
         "[Operations::Local::Unzip]Zip file path is invalid, it does not denote a existing zip file : " +
             Narrow(folder.In(L"none.zip"))},
        {zip, "", 1, "[Operations::Local::Unzip]Unzip target directory is empty"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Operations::Local::Unzip(c.zip, c.target), c.expected) << c.logged;
        EXPECT_TRUE(sink.Has(c.logged)) << c.logged << "\n" << sink.Dump();
    }
    EXPECT_FALSE(std::filesystem::exists(folder.In(L"out"))) << "a refused unzip made its folder";
}

// The shell's zip folder extracts on Windows; Wine's cannot open a zip (a null folder with
// S_FALSE), which must be a clean failure.
TEST_F(LocalOperations, UnzipRecreatesTheTargetAndExtractsWithTheShell) {
    WriteFile(folder.In(L"a.zip"), TinyZip());
    ASSERT_TRUE(::CreateDirectoryW(folder.In(L"out").c_str(), nullptr));
    WriteFile(folder.In(L"out\\stale.txt"), "old");
    const std::int32_t result = Operations::Local::Unzip(Narrow(folder.In(L"a.zip")), Narrow(folder.In(L"out")));
    EXPECT_FALSE(std::filesystem::exists(folder.In(L"out\\stale.txt"))) << "the old content stayed";
    EXPECT_TRUE(IsFolder(folder.In(L"out")));
    if (UnderWine()) {
        EXPECT_EQ(result, 2);
        bool logged = false;
        for (const std::string& line : sink.Lines()) {
            logged = logged || (line.starts_with("[Operations::Local::Unzip]{") &&
                                line.ends_with("}Failed to open Zip file"));
        }
        EXPECT_TRUE(logged) << sink.Dump();
    } else {
        EXPECT_EQ(result, 0) << sink.Dump();
        EXPECT_EQ(ReadLines(folder.In(L"out\\a.txt")), std::vector<std::string>{"hi"});
    }
}

VAROMET_CHILD_CASE(UnzipKeepsTheFolderWhenConfigured) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    char buffer[1024] = {};
    DWORD got = ::GetEnvironmentVariableA("VAROMET_TEST_UNZIP_DIR", buffer, sizeof buffer);
    if (got == 0 || got >= sizeof buffer) return 90;
    const std::string base = buffer;
    Config::Init(base + "\\launcher.conf");
    Config::ActivateOption(52);
    const std::int32_t result = Operations::Local::Unzip(base + "\\a.zip", base + "\\out");
    installedSink.Restore();
    std::printf("%s", sink.Dump().c_str());
    std::fflush(stdout);
    return result;
}

TEST_F(LocalOperations, UnzipKeepsAnExistingFolderWhenConfigured) {
    WriteFile(folder.In(L"a.zip"), TinyZip());
    ASSERT_TRUE(::CreateDirectoryW(folder.In(L"out").c_str(), nullptr));
    WriteFile(folder.In(L"out\\kept.txt"), "kept");
    const std::string base = Narrow(folder.Path());
    ::SetEnvironmentVariableA("VAROMET_TEST_UNZIP_DIR", base.c_str());
    ChildProcess::Result run = ChildProcess::Run("UnzipKeepsTheFolderWhenConfigured");
    ::SetEnvironmentVariableA("VAROMET_TEST_UNZIP_DIR", nullptr);
    ASSERT_TRUE(run.started) << run.output;
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(ReadLines(folder.In(L"out\\kept.txt")), std::vector<std::string>{"kept"});
    EXPECT_NE(run.output.find("[Operations::Local::Unzip]Config set ! keep the folder : " + base + "\\out"),
              std::string::npos)
        << run.output;
}

}  // namespace

namespace {

TEST_F(LocalOperations, PostMessageToWindowDeliversExactParameters) {
    RecordingWindow window(UniqueClassName());
    ASSERT_NE(window.Handle(), nullptr);
    const std::string className = Narrow(window.ClassName());
    struct Case {
        std::uint32_t message;
        std::uint64_t wparam;
        std::int64_t lparam;
    } cases[] = {
        {WM_USER + 1, 0, 0},
        {WM_USER + 46, 0xFFFFFFFFFFFFFFFFull, -1},
        {WM_APP + 3, 0x123456789ABCDEF0ull, INT64_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(Operations::Local::PostMessageToWindow(className, c.message, c.wparam, c.lparam)) << c.message;
    }
    const std::vector<RecordingWindow::Message> got = window.WaitForMessages(std::size(cases), 10000);
    ASSERT_EQ(got.size(), std::size(cases));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].message, cases[i].message) << i;
        EXPECT_EQ(static_cast<std::uint64_t>(got[i].wParam), cases[i].wparam) << i;
        EXPECT_EQ(static_cast<std::int64_t>(got[i].lParam), cases[i].lparam) << i;
    }
    EXPECT_TRUE(sink.Has("[Operations::Local::PostMessageToWindow]Try to PostMessage to window(" + className +
                         ") with these param : label:[1070]//wparam:[18446744073709551615]//lparam:[-1]"));
    EXPECT_TRUE(sink.Has("[Operations::Local::PostMessageToWindow] Postmessage to window [" + className +
                         "] has succeed !"));

    const std::string absent = Narrow(UniqueClassName());
    EXPECT_FALSE(Operations::Local::PostMessageToWindow(absent, WM_USER, 1, 1));
    EXPECT_TRUE(sink.Has("[Operations::Local::PostMessageToWindow]Fail to find window  with this name : " + absent));
}

}  // namespace

namespace {

// A device name passes the kind test but has no file security to read: the access check
// cannot run, and the answer is no.
TEST_F(LocalOperations, CheckFileFailsClosedWhenTheAccessCheckCannotRun) {
    if (!ToolBox::File::Exists("CON")) GTEST_SKIP() << "the console device is no existing path here";
    const bool result = Operations::Local::CheckFile("CON", 0, 1);
    if (!sink.Has("[Operations::Local::CheckFile] guessing security descriptor size failed !")) {
        GTEST_SKIP() << "the device's security could be read here:\n" << sink.Dump();
    }
    EXPECT_FALSE(result);
}

}  // namespace
