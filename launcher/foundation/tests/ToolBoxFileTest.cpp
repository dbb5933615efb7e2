#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Globals.h"
#include "PathName.h"
#include "PathTestSupport.h"
#include "SessionEnumerator.h"
#include "ToolBox.h"
#include "ToolBoxTestSupport.h"
#include "ZYNSysKernelHandle.h"

namespace {

constexpr GUID kLocalAppData = {0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};
constexpr std::int64_t kNow = 1740830400;  // 2025-03-01 12:00:00 UTC, the fixed clock of the cleanup tests
constexpr const char* kClean = "[ToolBox::File::CleanOldFilesInFolder]";

std::string U8(const std::wstring& text) {
    return ToolBox::WideToUtf8(text);
}

std::wstring ExePath() {
    wchar_t exe[MAX_PATH];
    return std::wstring(exe, ::GetModuleFileNameW(nullptr, exe, MAX_PATH));
}

std::string ExeFolder() {
    const std::wstring exe = ExePath();
    return U8(exe.substr(0, exe.rfind(L'\\')));
}

// Last write time as seconds since 1970; FILE_FLAG_BACKUP_SEMANTICS lets it open folders too.
bool SetModified(const std::wstring& path, std::int64_t seconds) {
    ZYNSysKernelHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ULARGE_INTEGER units;
    units.QuadPart = static_cast<ULONGLONG>(seconds * kUnitsPerSecond + 116444736000000000);
    FILETIME time{units.LowPart, units.HighPart};
    return file && ::SetFileTime(file.Get(), nullptr, nullptr, &time);
}

std::set<std::wstring> Names(const std::wstring& folder) {
    std::set<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.insert(entry.path().filename().wstring());
    return names;
}

TEST(ToolBoxFile, ComputeHashGivesLowercaseDigestsOfWholeFiles) {
    TestFolder folder;
    const std::string big(1000000, 'a'), block(65536, 'a');
    struct Case {
        const wchar_t* file;
        const std::string& content;
        int label;
        const char* digest;  // md5sum / sha256sum of the same bytes
    } cases[] = {
        {L"empty", "", ToolBox::File::kMd5, "d41d8cd98f00b204e9800998ecf8427e"},
        {L"empty", "", ToolBox::File::kSha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {L"abc", "abc", ToolBox::File::kMd5, "900150983cd24fb0d6963f7d28e17f72"},
        {L"abc", "abc", ToolBox::File::kSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {L"block", block, ToolBox::File::kMd5, "2d61aa54b58c2e94403fb092c3dbc027"},
        {L"block", block, ToolBox::File::kSha256, "bf718b6f653bebc184e1479f1935b8da974d701b893afcf49e701f3e2f9f9c5a"},
        {L"million", big, ToolBox::File::kMd5, "7707d6ae4e027c70eea2a935c2296f21"},
        {L"million", big, ToolBox::File::kSha256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    RecordingSink sink;
    for (const Case& c : cases) {
        std::wstring path = folder.In(c.file);
        ASSERT_TRUE(Exists(path) || MakeFile(path, c.content.c_str()));
        std::string hex;
        EXPECT_EQ(ToolBox::File::ComputeHash(U8(path), c.label, hex), 1) << U8(c.file) << " label " << c.label;
        EXPECT_EQ(hex, c.digest) << U8(c.file) << " label " << c.label;
    }
    EXPECT_EQ(sink.entries, std::vector<LogEntry>{});
}

TEST(ToolBoxFile, ComputeHashAnswersZeroAndKeepsTheTextOnFailure) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"abc"), "abc"));
    const std::string prefix = "[ToolBox::File::ComputeHash]";
    struct Case {
        std::string path;
        int label;
        std::string error;  // the start of the one ERROR line
    } cases[] = {
        {U8(folder.In(L"abc")), 3, prefix + " unsupported algorithm label : 3"},
        {U8(folder.In(L"missing")), 1, prefix + "Invalid path, this file does not exist : " + U8(folder.In(L"missing"))},
        {U8(folder.Path()), 1, prefix + "Fail to open this file : " + U8(folder.Path()) + " ( errno["},
    };
    for (const Case& c : cases) {
        RecordingSink sink;
        std::string hex = "kept";
        EXPECT_EQ(ToolBox::File::ComputeHash(c.path, c.label, hex), 0) << c.error;
        EXPECT_EQ(hex, "kept") << c.error;
        ASSERT_EQ(sink.entries.size(), 1u) << c.error;
        EXPECT_EQ(sink.entries[0].level, 50) << c.error;
        EXPECT_EQ(sink.entries[0].text.rfind(c.error, 0), 0u) << sink.entries[0].text;
    }
}

// G_STOP is never cleared, so the stop order is given in a child copy of this program.
VAROMET_CHILD_CASE(HashAndListStopOnTheStopOrder) {
    _setmode(_fileno(stdout), _O_BINARY);
    RecordingSink sink;
    G_STOP = true;
    std::string hex = "kept";
    std::vector<std::string> names;
    int hash = ToolBox::File::ComputeHash(U8(ExePath()), ToolBox::File::kMd5, hex);
    bool listed = ToolBox::File::List(ExeFolder(), names);
    std::printf("hash %d %s\nlist %d %zu\n", hash, hex.c_str(), listed, names.size());
    for (const LogEntry& e : sink.entries) std::printf("%c%d %s\n", e.road, e.level, e.text.c_str());
    return 0;
}

TEST(ToolBoxFile, HashAndListStopOnTheStopOrder) {
    ChildProcess::Result child = ChildProcess::Run("HashAndListStopOnTheStopOrder");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u);
    EXPECT_EQ(child.output, "hash 0 kept\nlist 1 0\n"
                            "L20 [ToolBox::File::ComputeHash]GLOBAL STOP ORDER ! emergency break !\n"
                            "L20 [ToolBox::File::List]GLOBAL STOP ORDER ! emergency break !\n"
                            "L20 [ToolBox::File::List]file list in '" + ExeFolder() + "' :\n\n");
}

TEST(ToolBoxFile, ListNamesTheEntriesOfAFolderOnly) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"a.txt")) && MakeFile(folder.In(L"\u00E9t\u00E9")) && MakeFolder(folder.In(L"sub")));
    using List = std::vector<std::string>;
    struct Case {
        std::string folder;
        bool ok;
        List names;
    } cases[] = {
        {U8(folder.Path()), true, {"a.txt", "sub", "\xC3\xA9t\xC3\xA9"}},
        {U8(folder.In(L"a.txt")), true, {}},
        {U8(folder.In(L"missing")), false, {}},
        {U8(folder.In(L"s*")), false, {}},
        {U8(folder.In(L"su?")), false, {}},
        {"", false, {}},  // not the root of the current drive
    };
    RecordingSink sink;
    for (const Case& c : cases) {
        List names;
        EXPECT_EQ(ToolBox::File::List(c.folder, names), c.ok) << "[" << c.folder << "]";
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.names) << "[" << c.folder << "]";
    }
}

TEST(ToolBoxFile, CleanOldFilesInFolderPrunesOnlyTheLoggersDailyFiles) {
    struct Log {
        const wchar_t* name;
        std::int64_t age;  // seconds before the clock's now
        bool kept;
    };
    static const wchar_t* const days[12] = {L"l_2025_02_01.txt", L"l_2025_02_02.txt", L"l_2025_02_03.txt", L"l_2025_02_04.txt",
                                            L"l_2025_02_05.txt", L"l_2025_02_06.txt", L"l_2025_02_07.txt", L"l_2025_02_08.txt",
                                            L"l_2025_02_09.txt", L"l_2025_02_10.txt", L"l_2025_02_11.txt", L"l_2025_02_12.txt"};
    // Twelve files a minute apart, oldest first; the first `deleted` of them go.
    auto twelve = [](int deleted) {
        std::vector<Log> logs;
        for (int i = 0; i < 12; ++i) logs.push_back({days[i], 60 * (12 - i), i >= deleted});
        return logs;
    };
    struct Case {
        const char* name;
        std::uint32_t maxCount;
        double maxAge;
        std::vector<Log> logs;
        std::vector<std::string> queuedEnd;  // the last queued messages, after the folder's name
    } cases[] = {
        {"count 10 of 12", 10, 0, twelve(2),
         {"excessive number of file ! there is 12/10 files", "deleting 2 files...",
          "deleteing older file[0] : \\l_2025_02_01.txt", "deleteing older file[1] : \\l_2025_02_02.txt"}},
        {"older than an hour", 0, 3600,
         {{L"a_2025_03_01.txt", 1800, true}, {L"b_2025_03_01.txt", 3600, true}, {L"c_2025_02_28.txt", 3601, false},
          {L"d_2025_02_27.txt", 86400, false}},
         {}},
        {"both limits", 2, 3600,
         {{L"a_2025_03_01.txt", 60, true}, {L"b_2025_03_01.txt", 120, true}, {L"c_2025_03_01.txt", 180, false},
          {L"d_2025_02_28.txt", 7200, false}},
         {"excessive number of file ! there is 3/2 files", "deleting 1 files...",
          "deleteing older file[0] : \\c_2025_03_01.txt"}},
        {"no limits", 0, 0, twelve(0), {"Nothing to clear ( max diff and max count are null )"}},
    };
    // Never log files: kept whatever their age and however many there are.
    const wchar_t* others[] = {L"notes.txt", L"app_2025_01_01.log", L"x_2025_1_01.txt", L"x_2025_AB_01.txt",
                               L"dir_2020_01_01.txt", L"dir_2020_01_01.txt\\in_2020_01_01.txt"};
    FixedClock clock(kNow * kUnitsPerSecond);
    for (const Case& c : cases) {
        TestFolder folder;
        std::set<std::wstring> kept;
        for (const wchar_t* other : others) {
            std::wstring name = other;
            ASSERT_TRUE(name == L"dir_2020_01_01.txt" ? MakeFolder(folder.In(name)) : MakeFile(folder.In(name)));
            if (name.find(L'\\') == std::wstring::npos) kept.insert(name);
        }
        for (const wchar_t* other : others) ASSERT_TRUE(SetModified(folder.In(other), kNow - 10 * 86400)) << c.name;
        for (const Log& log : c.logs) {
            ASSERT_TRUE(MakeFile(folder.In(log.name)) && SetModified(folder.In(log.name), kNow - log.age)) << c.name;
            if (log.kept) kept.insert(log.name);
        }
        RecordingSink sink;
        ToolBox::File::CleanOldFilesInFolder(U8(folder.Path()), c.maxCount, c.maxAge);
        EXPECT_EQ(Names(folder.Path()), kept) << c.name;
        EXPECT_TRUE(Exists(folder.In(L"dir_2020_01_01.txt\\in_2020_01_01.txt"))) << c.name;
        std::vector<LogEntry> queued = sink.Road('Q');
        ASSERT_GE(queued.size(), c.queuedEnd.size()) << c.name;
        for (std::size_t i = 0; i < c.queuedEnd.size(); ++i) {
            std::string text = c.queuedEnd[i];
            if (std::size_t at = text.find(" : \\"); at != std::string::npos) text.insert(at + 3, U8(folder.Path()));
            EXPECT_EQ(queued[queued.size() - c.queuedEnd.size() + i].text, kClean + text) << c.name;
        }
        if (c.maxCount == 0 && c.maxAge == 0) {
            EXPECT_EQ(sink.entries.size(), 2u) << c.name << ": nothing listed";
        }
    }
}

TEST(ToolBoxFile, CleanOldFilesInFolderQueuesTheseExactMessages) {
    TIME_ZONE_INFORMATION zone;
    if (::GetTimeZoneInformation(&zone) != TIME_ZONE_ID_UNKNOWN || zone.Bias != 0)
        GTEST_SKIP() << "the expected texts are UTC times";
    TestFolder folder;
    const std::string f = U8(folder.Path()), log = f + "\\x_2025_02_27.txt";
    ASSERT_TRUE(MakeFile(folder.In(L"x_2025_02_27.txt")) && SetModified(folder.In(L"x_2025_02_27.txt"), kNow - 7200));
    ASSERT_TRUE(MakeFile(folder.In(L"notes.txt")) && SetModified(folder.In(L"notes.txt"), kNow - 7200));
    FixedClock clock(kNow * kUnitsPerSecond + 5000000);  // half a second: the base is whole seconds
    RecordingSink sink;
    ToolBox::File::CleanOldFilesInFolder(f, 0, 3600);
    const std::string p = kClean;
    EXPECT_EQ(sink.Road('Q'), (std::vector<LogEntry>{
                                  {'Q', 20, p + "Try to clean this log folder: " + f + "(MaxfileCount:[0]//MaxTimeStampDiff:[3600.000000])"},
                                  {'Q', 10, p + "base timestamp : 2025_03_01-120000+0000i"},
                                  {'Q', 10, p + "handling file '" + log + "' with timestamp : 2025_03_01-100000+0000i"},
                                  {'Q', 10, p + "timstamp delta on '" + log + "' : 7200.000000"},
                                  {'Q', 10, p + "deleteing : " + log},
                              }));
}

TEST(ToolBoxFile, EnsureFreeSpaceKBComparesWithTheVolumesFreeSpace) {
    TestFolder folder;
    RecordingSink sink;
    EXPECT_TRUE(ToolBox::File::EnsureFreeSpaceKB(U8(folder.Path()), 0));
    EXPECT_FALSE(ToolBox::File::EnsureFreeSpaceKB(U8(folder.Path()), UINT64_MAX));
    ASSERT_EQ(sink.entries.size(), 2u);
    EXPECT_EQ(sink.entries[1].text.rfind("[ToolBox::File::EnsureFreeSpaceKB]NeedSize : 18446744073709551615// current freeSize : ", 0), 0u)
        << sink.entries[1].text;
}

// Under Wine WTSEnumerateSessionsW reports no session at all.
struct FakeSessions final : SessionEnumerator {
    FakeSessions(bool ok, std::vector<SessionInfo> sessions) : ok(ok), sessions(std::move(sessions)) {}
    bool Enumerate(std::vector<SessionInfo>& out) override {
        out = sessions;
        return ok;
    }
    bool ok;
    std::vector<SessionInfo> sessions;
    ScopedSessionEnumerator installed{*this};
};

TEST(ToolBoxSystem, GetActiveSessionIdNeedsExactlyOneActiveSession) {
    const std::string p = "[ToolBox::GetActiveSessionId]";
    const SessionInfo services{0, 4, "Services", true}, console{1, 0, "Console", true}, rdp{3, 0, "", false};
    struct Case {
        const char* name;
        bool enumerated;
        std::vector<SessionInfo> sessions;
        bool found;
        std::uint32_t id;
        std::vector<LogEntry> logged;
    } cases[] = {
        {"failure", false, {}, false, 77, {{'L', 50, p + " Fail to iterate on Session objects!"}}},
        {"none active", true, {services}, false, 77,
         {{'L', 10, p + " session object total count : 1"},
          {'L', 10, p + " session object : [id:0//status:4//name:Services]"},
          {'L', 50, p + " No active session found !"}}},
        {"one active", true, {services, console}, true, 1,
         {{'L', 10, p + " session object total count : 2"},
          {'L', 10, p + " session object : [id:0//status:4//name:Services]"},
          {'L', 10, p + " session object : [id:1//status:0//name:Console]"},
          {'L', 10, p + " successefully found a unique active session on [id:1//sessionName:Console] !"}}},
        {"two active", true, {console, rdp}, false, 77,
         {{'L', 10, p + " session object total count : 2"},
          {'L', 10, p + " session object : [id:1//status:0//name:Console]"},
          {'L', 10, p + " session object : [id:3//status:0//name:NULL]"},
          {'L', 50, p + " multiple active seesion found ! unsupported execution context."}}},
    };
    for (const Case& c : cases) {
        FakeSessions fake(c.enumerated, c.sessions);
        RecordingSink sink;
        std::uint32_t id = 77;
        EXPECT_EQ(ToolBox::GetActiveSessionId(id), c.found) << c.name;
        EXPECT_EQ(id, c.id) << c.name;
        EXPECT_EQ(sink.entries, c.logged) << c.name;
    }
}

TEST(ToolBoxSystem, GetKnownFolderIdValueResolvesForThisOrAGivenSession) {
    const std::string p = "[ToolBox::GetKownFolderIdValue]";
    const std::string id = "{f1b32785-6fba-4fcf-9d55-7b8e7f157091}";
    std::string expected;
    ASSERT_TRUE(ToolBox::GetEnv("LOCALAPPDATA", expected));
    struct Case {
        std::optional<std::uint32_t> session;
        std::string using_;
    } cases[] = {{std::nullopt, "the current session"}, {1, "this sessionId[1]"}};
    for (const Case& c : cases) {
        RecordingSink sink;
        std::string path;
        ASSERT_TRUE(ToolBox::GetKnownFolderIdValue(kLocalAppData, path, c.session)) << c.using_ << sink.entries.back();
        EXPECT_EQ(path, expected) << c.using_;
        EXPECT_EQ(sink.entries, (std::vector<LogEntry>{
                                    {'L', 10, p + " try to retrive the value of KnownFolderID[" + id + "] using " + c.using_},
                                    {'L', 10, p + " this KnownFolder[" + id + "] has been resolved to : " + expected}}));
    }
}

TEST(ToolBoxSystem, ExecutableFolderAndSecurityAttributes) {
    EXPECT_EQ(ToolBox::GetExecutableFolder().GetText(), PathName(ExeFolder()).GetText());

    struct Case {
        const char* sddl;
        bool described;
    } cases[] = {{"D:(A;;GA;;;WD)", true}, {"not a descriptor", false}, {"D:(A;;GA;;;WD)", true}};
    ScopedSecurityAttributes attributes;  // reused: each call starts afresh
    for (const Case& c : cases) {
        ToolBox::MakeSecurityAttributes(attributes, c.sddl);
        EXPECT_EQ(attributes.attributes.nLength, 24u) << c.sddl;
        EXPECT_FALSE(attributes.attributes.bInheritHandle) << c.sddl;
        EXPECT_EQ(attributes.attributes.lpSecurityDescriptor, attributes.descriptor.Get()) << c.sddl;
        EXPECT_EQ(attributes.descriptor.IsValid(), c.described) << c.sddl;
        EXPECT_TRUE(!c.described || ::IsValidSecurityDescriptor(attributes.attributes.lpSecurityDescriptor)) << c.sddl;
    }
}

}  // namespace
