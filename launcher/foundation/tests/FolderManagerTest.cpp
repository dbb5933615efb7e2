// The folder table is process-wide: each case initialises it in a child, which reports the
// path of every id. The service contexts read "pdata.ptr" beside the executable, so those
// cases run a copy of this exe placed in the test folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <shlobj.h>

#include "BaseTestSupport.h"
#include "FileAndFoldersManager.h"
#include "FolderMaker.h"
#include "OrdanaRequestInfo.h"
#include "PathName.h"
#include "ToolBox.h"

namespace fs = std::filesystem;

namespace {

// Records every request; creates folders only inside the test folder.
class GuardedMaker final : public FolderMaker {
public:
    bool MakeFolder(const std::string& path) override {
        made.push_back(path);
        std::error_code error;
        return path.starts_with(ChildDir() + "\\") && (fs::create_directories(path, error) || fs::is_directory(path));
    }
    int MakeFolderAsUser(const OrdanaRequestInfo&, const std::string& path, bool& created) override {
        asUser.push_back(path);
        created = asUserCreated;
        return asUserCode;
    }
    std::vector<std::string> made, asUser;
    int asUserCode = 2;
    bool asUserCreated = false;
};

const char* const kRelative[] = {nullptr,
                                 "",
                                 nullptr,
                                 "\\Korrintek\\VarometLauncher",
                                 "\\Korrintek\\VarometLauncher\\OperationData",
                                 "\\Korrintek\\VarometLauncher\\OperationData\\DefaultQorEnvRep",
                                 "\\Korrintek\\VarometLauncher\\InternalData",
                                 "\\Korrintek\\VarometLauncher\\InternalData\\Temp",
                                 "\\Korrintek\\VarometLauncher\\InternalData\\Unzip",
                                 "\\Korrintek\\VarometLauncher\\defaultDataStore",
                                 "\\Korrintek\\VarometLauncher\\defaultDataStore\\Media",
                                 "\\Korrintek\\VarometLauncher\\defaultDataStore\\Cafs",
                                 "\\Korrintek\\VarometLauncher\\logs",
                                 "\\Korrintek\\VarometLauncher\\logs\\install_logs",
                                 "\\Korrintek\\VarometLauncher\\logs\\update_logs",
                                 "\\Korrintek\\VarometLauncher\\InternalData\\Icon"};

// Every id from 0 to 16 as the table answers it for root and install folder; "unchanged" for a refusal.
std::vector<std::string> DefaultPaths(const std::string& root, const std::string& install) {
    std::vector<std::string> paths;
    for (int id = 0; id <= 16; ++id)
        paths.push_back(id == 2 ? install : id >= 1 && id <= 15 ? root + kRelative[id] : "unchanged");
    return paths;
}

std::vector<std::string> ReportedPaths(const std::string& output) {
    std::vector<std::string> paths;
    for (int id = 0; id <= 16; ++id) paths.push_back(SaidOne(output, "id" + std::to_string(id)));
    return paths;
}

std::string Fill(std::string text, const TestFolder& dir) {
    std::string json = ToolBox::ReplaceAll(dir.Utf8(), "\\", "\\\\", true);
    return ToolBox::ReplaceAll(ToolBox::ReplaceAll(text, "{json}", json, true), "{dir}", dir.Utf8(), true);
}

}  // namespace

VAROMET_CHILD_CASE(FafTable) {
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    GuardedMaker maker;
    ScopedFolderMaker installedMaker(maker);
    Say("init", FileAndFoldersManager::Init(static_cast<std::uint32_t>(std::stoul(ChildArg()))) ? "true" : "false");
    std::size_t madeAtInit = maker.made.size();
    for (int id = 0; id <= 16; ++id) {
        std::string path = "unchanged";
        FileAndFoldersManager::GetFolderPath(id, path, false, nullptr);
        Say("id" + std::to_string(id), path);
    }
    std::string path = "unchanged";
    bool created = FileAndFoldersManager::GetFolderPath(FolderId::MAIN_DATA, path, true, nullptr);
    Say("create main",
        std::string(created ? "true" : "false") + " made=" + std::to_string(maker.made.size() - madeAtInit));
    for (const RecordingSink::Entry& e : sink.Take()) Say("log", std::to_string(e.level) + ":" + e.text);
    return 0;
}

TEST(FolderManager, RootFollowsTheStartContext) {
    wchar_t* programData = nullptr;
    ASSERT_EQ(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &programData), S_OK);
    std::string common = ToolBox::WideCStrToUtf8(programData);
    ::CoTaskMemFree(programData);
    const std::string exeFolder = ToolBox::GetExecutableFolder().GetText();
    struct Case {
        const char* name;
        const char* context;
        bool trqTmp;        // WEX_TRQ_TMP = the test folder
        const char* pdata;  // null: run this exe; else a copy beside this "pdata.ptr"
        const char* root;   // null: Init fails
    };
    const Case cases[] = {
        {"test context", "3", true, nullptr, "{dir}\\LauncherData"},
        {"test context without WEX_TRQ_TMP", "3", false, nullptr, "\\LauncherData"},
        {"user context", "1", false, nullptr, "{common}"},
        {"service without pdata.ptr", "0", false, nullptr, nullptr},
        {"unknown context", "4", true, nullptr, nullptr},
        {"pdata.ptr of one line", "0", false, "{dir}\\root", "{dir}\\root"},
        {"pdata.ptr of one line and a line feed", "2", false, "{dir}\\root\n", "{dir}\\root"},
        {"pdata.ptr with CR LF", "0", false, "{dir}\\root\r\n", "{dir}\\root"},
        {"pdata.ptr of two lines", "0", false, "{dir}\\root\n{dir}\\other", nullptr},
        {"pdata.ptr ending in two line feeds", "2", false, "{dir}\\root\n\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder dir;
        std::string program, install = exeFolder;
        if (c.pdata) {
            install = dir.Utf8In("bin");
            program = install + "\\base_tests.exe";
            fs::create_directory(install);
            wchar_t self[MAX_PATH];
            fs::copy_file(std::wstring(self, ::GetModuleFileNameW(nullptr, self, MAX_PATH)), program);
            ASSERT_TRUE(WriteFileBytes(install + "\\pdata.ptr", Fill(c.pdata, dir)));
        }
        EnvList env = {{"VAROMET_TEST_ARG", c.context}};
        if (c.trqTmp) env.emplace_back("WEX_TRQ_TMP", dir.Utf8());
        ChildProcess::Result child = RunChild("FafTable", dir, env, program);
        ASSERT_EQ(child.exitCode, 0u) << child.output;
        EXPECT_EQ(SaidOne(child.output, "init"), c.root ? "true" : "false");
        std::string root = c.root ? ToolBox::ReplaceAll(Fill(c.root, dir), "{common}", common, true) : "";
        EXPECT_EQ(ReportedPaths(child.output),
                  c.root ? DefaultPaths(root, install) : std::vector<std::string>(17, "unchanged"));
        std::vector<std::string> logs = Said(child.output, "log");
        const char* refusal = c.root ? "20:[FileAndFoldersManager::GetFolder] Unknown folder Id [16]!"
                                     : "20:[FileAndFoldersManager::GetFolder] FaF not initalized !";
        EXPECT_NE(std::find(logs.begin(), logs.end(), refusal), logs.end());
    }
}

TEST(FolderManager, SaveFileReplacesEntriesAndBadOnesAreKeptAside) {
    struct Case {
        const char* name;
        const char* save;
        std::vector<std::pair<int, const char*>> paths;  // {root} = the test context's root
        const char* message;
        const char* createMain;  // result, and how many folders that asked the maker for
        const char* bad;         // expected "faf_manager.save.bad" content; null: absent
    };
    const Case cases[] = {
        {"LOG moved to an absolute path",
         R"({"LOG":{"baseItem":"","baseString":"{json}\\Logs","relative":""}})",
         {{12, "{dir}\\Logs"}, {13, "{dir}\\Logs\\install_logs"}, {3, "{root}\\Korrintek\\VarometLauncher"}},
         "10:[FileAndFoldersManager::put] Setting [12] to [(0|{dir}\\Logs)\\]",
         "true made=0",
         nullptr},
        {"MAIN_DATA re-parented",
         R"({"MAIN_DATA":{"baseItem":"PROGRAM_DATA","relative":"Other"}})",
         {{3, "{root}\\Other"}, {12, "{root}\\Other\\logs"}, {7, "{root}\\Other\\InternalData\\Temp"}},
         "10:[FileAndFoldersManager::put] Setting [3] to [(1|)\\Other]",
         "true made=1",
         nullptr},
        {"text that is not JSON",
         R"({"LOG": )",
         {{12, "{root}\\Korrintek\\VarometLauncher\\logs"}},
         "40:[FileAndFoldersManager::Load] Fail to parse the content of this file: "
         "{root}\\Korrintek\\VarometLauncher\\InternalData\\faf_manager.save",
         "true made=0",
         R"({"LOG": )"},
        {"parents in a cycle",
         R"({"MAIN_DATA":{"baseItem":"LOG"}})",
         {{3, "unchanged"}, {12, "unchanged"}, {13, "unchanged"}, {1, "{root}"}},
         "10:[FileAndFoldersManager::put] Setting [3] to [(12|)\\]",
         "false made=0",
         nullptr},
        {"unknown names and members that are not objects",
         R"({"NOPE":{"baseString":"x"},"LOG":5,"TEMP":{"baseItem":"NOPE","baseString":"{json}\\T"}})",
         {{7, "{dir}\\T"}, {12, "{root}\\Korrintek\\VarometLauncher\\logs"}},
         "40:[FileAndFoldersManager::Load] Unknown folder id: [NOPE]",
         "true made=0",
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestFolder dir;
        const std::string root = dir.Utf8In("LauncherData");
        const std::string internal = root + "\\Korrintek\\VarometLauncher\\InternalData";
        fs::create_directories(internal);
        ASSERT_TRUE(WriteFileBytes(internal + "\\faf_manager.save", Fill(c.save, dir)));
        ASSERT_TRUE(WriteFileBytes(internal + "\\faf_manager.save.bad", "an older bad file"));
        ChildProcess::Result child =
            RunChild("FafTable", dir, {{"VAROMET_TEST_ARG", "3"}, {"WEX_TRQ_TMP", dir.Utf8()}});
        ASSERT_EQ(child.exitCode, 0u) << child.output;
        auto fill = [&](const char* text) { return ToolBox::ReplaceAll(Fill(text, dir), "{root}", root, true); };
        for (const auto& [id, path] : c.paths)
            EXPECT_EQ(SaidOne(child.output, "id" + std::to_string(id)), fill(path)) << id;
        if (c.message) {
            std::vector<std::string> logs = Said(child.output, "log");
            EXPECT_NE(std::find(logs.begin(), logs.end(), fill(c.message)), logs.end()) << fill(c.message);
        }
        EXPECT_EQ(SaidOne(child.output, "create main"), c.createMain);
        EXPECT_EQ(PathExists(internal + "\\faf_manager.save"), c.bad == nullptr);
        EXPECT_EQ(ReadFileBytes(internal + "\\faf_manager.save.bad"), c.bad ? c.bad : "an older bad file");
    }
}

VAROMET_CHILD_CASE(FafCreate) {
    GuardedMaker maker;
    ScopedFolderMaker installedMaker(maker);
    RecordingSink sink;
    ScopedLogSink installedSink(sink);
    FileAndFoldersManager::Init(3);
    OrdanaRequestInfo request;
    struct Step {
        const char* name;
        std::int32_t id;
        bool withRequest;
        int asUserCode;
        bool asUserCreated;
    };
    const Step steps[] = {{"existing file", FolderId::ICON, false, 0, false},
                          {"user extension created it", FolderId::TEMP, true, 0, true},
                          {"user extension could not", FolderId::UNZIP, true, 0, false},
                          {"no user extension", FolderId::CAF_DDL, true, 5, false},
                          {"no request", FolderId::MEDIA_DDL, false, 0, false}};
    for (const Step& s : steps) {
        maker.made.clear();
        maker.asUser.clear();
        maker.asUserCode = s.asUserCode;
        maker.asUserCreated = s.asUserCreated;
        std::string path;
        bool ok = FileAndFoldersManager::GetFolderPath(s.id, path, true, s.withRequest ? &request : nullptr);
        Say(s.name, std::string(ok ? "true" : "false") + " asUser=" + std::to_string(maker.asUser.size()) +
                        " local=" + std::to_string(maker.made.size()) +
                        " folder=" + (ToolBox::File::IsDirectory(path) ? "yes" : "no"));
    }
    return 0;
}

TEST(FolderManager, CreationGoesThroughTheRequestUserAndFallsBackToLocal) {
    TestFolder dir;
    fs::create_directories(dir.Utf8In("LauncherData\\Korrintek\\VarometLauncher\\InternalData"));
    ASSERT_TRUE(WriteFileBytes(dir.Utf8In("LauncherData\\Korrintek\\VarometLauncher\\InternalData\\Icon"), "a file"));
    ChildProcess::Result child = RunChild("FafCreate", dir, {{"WEX_TRQ_TMP", dir.Utf8()}});
    ASSERT_EQ(child.exitCode, 0u) << child.output;
    const std::pair<const char*, const char*> expected[] = {
        {"existing file", "true asUser=0 local=0 folder=no"},
        {"user extension created it", "true asUser=1 local=0 folder=no"},
        {"user extension could not", "false asUser=1 local=0 folder=no"},
        {"no user extension", "true asUser=1 local=1 folder=yes"},
        {"no request", "true asUser=0 local=1 folder=yes"},
    };
    for (const auto& [step, result] : expected) EXPECT_EQ(SaidOne(child.output, step), result) << step;
}

TEST(FolderMaker, LocalMakerAnswersWhetherAFolderExistsAtTheEnd) {
    TestFolder dir;
    ASSERT_TRUE(WriteFileBytes(dir.Utf8In("file"), "x"));
    const std::pair<std::string, bool> cases[] = {{dir.Utf8In("a\\b\\c"), true},
                                                  {dir.Utf8In("a"), true},
                                                  {dir.Utf8In("file"), false},
                                                  {dir.Utf8In("file\\sub"), false},
                                                  {"", false}};
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(GetFolderMaker().MakeFolder(path), expected) << path;
        EXPECT_EQ(ToolBox::File::IsDirectory(path), expected) << path;
    }
}

// Where levels are missing, the shell's maker keeps MAX_PATH units of the path and makes the
// folders of the shorter text.
TEST(FolderMaker, LocalMakerRefusesAPathOfMaxPathUnitsOrMore) {
    TestFolder dir;
    const struct Case {
        std::size_t units;
        bool made;
    } cases[] = {{MAX_PATH - 1, true}, {MAX_PATH, false}, {MAX_PATH + 1, false}, {MAX_PATH + 40, false}};
    for (const Case& c : cases) {
        const std::string parent = dir.Utf8In(std::to_string(c.units));
        ASSERT_TRUE(fs::create_directory(parent));
        ASSERT_LT(parent.size() + 4, c.units) << "the test folder is too deep for this case";
        const std::string path = parent + "\\m\\" + std::string(c.units - parent.size() - 3, 'x');
        ::SetLastError(0);
        EXPECT_EQ(GetFolderMaker().MakeFolder(path), c.made) << c.units;
        const DWORD reason = ::GetLastError();
        EXPECT_EQ(ToolBox::File::IsDirectory(path), c.made) << c.units;
        std::error_code error;
        EXPECT_EQ(std::distance(fs::directory_iterator(parent, error), {}), c.made ? 1 : 0) << c.units;
        if (!c.made) {
            EXPECT_EQ(reason, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << c.units;
        }
    }
}
