#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "TestFolder.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysOwnerQuery.h"
#include "ZYNSysRotatingFile.h"
#include "ZYNSysStdioFile.h"
#include "ZYNSysTraceOutput.h"
#include "ZYNSysWin.h"

namespace {

using Env = std::vector<ChildProcess::EnvironmentChange>;

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A line written: the letter 58 times and a line end, 60 bytes in the file (text mode).
std::string Line(char letter) { return std::string(58, letter) + "\n"; }
std::string OnDisk(char letter) { return std::string(58, letter) + "\r\n"; }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TEST(ZYNSysRotatingFile, NumberedFilesAreFilledThenOverwrittenInTurn) {
    TestFolder folder;
    const std::wstring name = folder.In(L"t.txt");
    ZYNSysRotatingFile file(name, 100, 3);
    ASSERT_EQ(file.Open(), 0);
    struct Step {
        char line;
        const char* expected[4];  // t.txt, t.1.txt, t.2.txt, t.3.txt: the letters each holds
    };
    const Step steps[] = {
        {'A', {"A", "", "", ""}}, {'B', {"B", "A", "", ""}},  {'C', {"C", "A", "B", ""}},
        {'D', {"D", "A", "B", "C"}}, {'E', {"E", "D", "B", "C"}}, {'F', {"F", "D", "E", "C"}},
        {'G', {"G", "D", "E", "F"}}, {'H', {"H", "G", "E", "F"}},
    };
    const std::wstring names[4] = {name, folder.In(L"t.1.txt"), folder.In(L"t.2.txt"), folder.In(L"t.3.txt")};
    for (const Step& s : steps) {
        const std::string line = Line(s.line);
        ASSERT_EQ(file.Write(line.c_str(), line.size()), 59) << s.line;
        for (int i = 0; i < 4; ++i) {
            std::string expected;
            for (const char* letter = s.expected[i]; *letter; ++letter) expected += OnDisk(*letter);
            EXPECT_EQ(ReadAll(names[i]), expected) << "after " << s.line << ", file " << i;
        }
    }
}

TEST(ZYNSysRotatingFile, NoFileGrowsPastItsLimitOnDisk) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;  // written in turn to t.txt, limit 100, 3 numbered files
    };
    const Case cases[] = {
        {"60 bytes a line on disk", {Line('A'), Line('B'), Line('C')}},
        {"a line that fits only before its line end is widened", {std::string(59, 'A') + "\n", std::string(38, 'B') + "\n"}},
        {"a text of several short lines", {std::string(59, 'A') + "\n", "b\nb\nb\nb\nb\nb\nb\nb\nb\nb\nb\nb\nbbbbbbbbbbbbbb\n"}},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        const std::wstring names[4] = {folder.In(L"t.txt"), folder.In(L"t.1.txt"), folder.In(L"t.2.txt"),
                                       folder.In(L"t.3.txt")};
        std::size_t onDisk = 0;
        {
            ZYNSysRotatingFile file(names[0], 100, 3);
            ASSERT_EQ(file.Open(), 0) << c.name;
            for (const std::string& line : c.lines) {
                ASSERT_EQ(file.Write(line.c_str(), line.size()), static_cast<int>(line.size())) << c.name;
                onDisk += line.size() + static_cast<std::size_t>(std::count(line.begin(), line.end(), '\n'));
                for (const std::wstring& name : names) {
                    EXPECT_LE(ReadAll(name).size(), 100u) << c.name << ": " << Narrow(name);
                }
            }
        }
        std::size_t kept = 0;
        for (const std::wstring& name : names) kept += ReadAll(name).size();
        EXPECT_EQ(kept, onDisk) << c.name;
    }
}

TEST(ZYNSysRotatingFile, NamesCarryEnoughDigitsForTheCount) {
    struct Case {
        std::uint32_t count;
        std::uint32_t number;
        const wchar_t* expected;
    };
    const Case cases[] = {{12, 3, L"trace.03.txt"}, {3, 2, L"trace.2.txt"}, {1, 1, L"trace.1.txt"},
                          {100, 7, L"trace.07.txt"}, {101, 7, L"trace.007.txt"}};
    TestFolder folder;
    for (const Case& c : cases) {
        ZYNSysRotatingFile file(folder.In(L"trace.txt"), 100, c.count);
        EXPECT_EQ(file.NumberedName(c.number), folder.In(c.expected)) << c.count << " " << c.number;
    }
    ZYNSysRotatingFile dotted(folder.In(L"a.b\\trace"), 100, 3);
    EXPECT_EQ(dotted.NumberedName(2), folder.In(L"a.b\\trace.2"));
}

TEST(ZYNSysRotatingFile, AReopenedFileCountsWhatItAlreadyHolds) {
    TestFolder folder;
    const std::wstring name = folder.In(L"t.txt");
    std::ofstream(name.c_str(), std::ios::binary) << OnDisk('A');
    ZYNSysRotatingFile file(name, 100, 3);
    ASSERT_EQ(file.Open(), 0);
    const std::string line = Line('B');
    ASSERT_EQ(file.Write(line.c_str(), line.size()), 59);
    EXPECT_EQ(ReadAll(name), OnDisk('B'));
    EXPECT_EQ(ReadAll(folder.In(L"t.1.txt")), OnDisk('A'));
}

TEST(ZYNSysRotatingFile, AFileOverItsLimitReopenedRotatesOnce) {
    struct Case {
        const char* name;
        std::size_t held;         // bytes in t.txt before it is opened
        bool readElsewhere;       // another handle keeps it from being moved, so it is copied
        std::vector<std::wstring> numbered;  // numbered files after the second Open
    };
    const Case cases[] = {
        {"under the limit: appended to", 60, false, {}},
        {"over the limit: moved aside", 150, false, {L"t.1.txt"}},
        {"over the limit and read elsewhere: copied aside once", 150, true, {L"t.1.txt"}},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        const std::wstring name = folder.In(L"t.txt");
        const std::string before(c.held, 'x');
        std::ofstream(name.c_str(), std::ios::binary) << before;
        ZYNSysRotatingFile file(name, 100, 3);
        ASSERT_EQ(file.Open(), 0) << c.name;
        ZYNSysStdioFile reader(c.readElsewhere ? ::_wfopen(name.c_str(), L"rb") : nullptr);
        ASSERT_EQ(file.Open(), 0) << c.name;
        std::vector<std::wstring> numbered;
        for (const wchar_t* candidate : {L"t.1.txt", L"t.2.txt", L"t.3.txt"}) {
            if (Exists(folder.In(candidate))) numbered.push_back(candidate);
        }
        EXPECT_EQ(numbered, c.numbered) << c.name;
        if (!c.numbered.empty()) {
            EXPECT_EQ(ReadAll(folder.In(L"t.1.txt")), before) << c.name;
        }
    }
}

TEST(ZYNSysRotatingFile, ALockedNumberedFileLosesNothing) {
    TestFolder folder;
    const std::wstring name = folder.In(L"t.txt");
    std::ofstream(folder.In(L"t.1.txt").c_str(), std::ios::binary) << "old";
    ZYNSysKernelHandle lock(::CreateFileW(folder.In(L"t.1.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.IsValid());
    {
        ZYNSysRotatingFile file(name, 100, 3);
        ASSERT_EQ(file.Open(), 0);
        for (char letter : {'A', 'B', 'C'}) {
            const std::string line = Line(letter);
            EXPECT_EQ(file.Write(line.c_str(), line.size()), 59) << letter;
        }
    }
    EXPECT_EQ(ReadAll(name), OnDisk('A') + OnDisk('B') + OnDisk('C'));
    lock.Reset();
    EXPECT_EQ(ReadAll(folder.In(L"t.1.txt")), "old");
}

TEST(ZYNSysRotatingFile, AnOldestNumberedFileThatCannotBeReplacedIsKept) {
    struct Case {
        const char* name;
        DWORD share;  // how another process holds t.1.txt open
    };
    const Case cases[] = {
        {"held against deletion", FILE_SHARE_READ},
        {"held for reading and deletion", FILE_SHARE_READ | FILE_SHARE_DELETE},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        const std::wstring name = folder.In(L"t.txt");
        const std::wstring numbered = folder.In(L"t.1.txt");
        std::ofstream(numbered.c_str(), std::ios::binary) << "old";
        ZYNSysKernelHandle lock(::CreateFileW(numbered.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(lock.IsValid()) << c.name;
        {
            // One numbered file, which exists: each rotation must replace it.
            ZYNSysRotatingFile file(name, 100, 1);
            ASSERT_EQ(file.Open(), 0) << c.name;
            for (char letter : {'A', 'B', 'C'}) {
                const std::string line = Line(letter);
                EXPECT_EQ(file.Write(line.c_str(), line.size()), 59) << c.name << " " << letter;
            }
        }
        lock.Reset();
        EXPECT_EQ(ReadAll(numbered), "old") << c.name;
        EXPECT_EQ(ReadAll(name), OnDisk('A') + OnDisk('B') + OnDisk('C')) << c.name;
    }
}

TEST(ZYNSysTraceOutput, ARingKeepsTheNewestBytes) {
    TestFolder folder;
    {
        ZYNSysTraceOutput output("ring.txt");
        output.ringSize_ = 16;
        ASSERT_EQ(output.OpenStorage(folder.In(L"ring.txt").c_str()), 0);
        ASSERT_EQ(output.WriteLine(1, "GHIJKLMNOPQRST", "ABCDEF", ""), 0);
    }
    EXPECT_EQ(ReadAll(folder.In(L"ring.txt")), "QRSTEFGHIJKLMNOP");
}

TEST(ZYNSysTraceOutput, RingsOfTwoOutputsAreIndependent) {
    TestFolder folder;
    {
        ZYNSysTraceOutput first("first.txt"), second("second.txt");
        first.ringSize_ = 16;
        second.ringSize_ = 64;
        ASSERT_EQ(first.OpenStorage(folder.In(L"first.txt").c_str()), 0);
        ASSERT_EQ(second.OpenStorage(folder.In(L"second.txt").c_str()), 0);
        first.WriteMapped("one");
        second.WriteMapped("two");
    }
    EXPECT_EQ(ReadAll(folder.In(L"first.txt")), "one" + std::string(13, '\0'));
    EXPECT_EQ(ReadAll(folder.In(L"second.txt")), "two" + std::string(61, '\0'));
}

VAROMET_CHILD_CASE(TraceRingInAnotherProcess) {
    const char* path = std::getenv("TRACE_TEST_RING");
    if (path == nullptr) return 3;
    ZYNSysTraceOutput output("ring");
    output.ringSize_ = 16;
    std::wstring wide(path, path + std::strlen(path));
    if (output.OpenStorage(wide.c_str()) != 0) return 4;
    output.WriteMapped("child");
    return 0;
}

TEST(ZYNSysTraceOutput, RingsOfTwoProcessesAreIndependent) {
    TestFolder folder;
    ZYNSysTraceOutput output("parent.txt");
    output.ringSize_ = 16;
    ASSERT_EQ(output.OpenStorage(folder.In(L"parent.txt").c_str()), 0);
    output.WriteMapped("parent");
    // Another process of the session holding a mapping of the name a shared ring would use.
    ZYNSysKernelHandle planted(
        ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16, L"ZYNSysTraceMappedFile"));
    ASSERT_TRUE(planted.IsValid());
    ZYNSysMappedView plantedView(::MapViewOfFile(planted.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 16));
    ASSERT_TRUE(plantedView.IsValid());
    const ChildProcess::Result child =
        ChildProcess::Run("TraceRingInAnotherProcess", {{L"TRACE_TEST_RING", folder.In(L"child.txt")}});
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
    output.Close();
    EXPECT_EQ(std::string(static_cast<const char*>(plantedView.Get()), 16), std::string(16, '\0'));
    EXPECT_EQ(ReadAll(folder.In(L"parent.txt")), "parent" + std::string(10, '\0'));
    EXPECT_EQ(ReadAll(folder.In(L"child.txt")), "child" + std::string(11, '\0'));
}

TEST(ZYNSysTraceOutput, AnAppendedFileAndItsEmptyTwinAtClose) {
    TestFolder folder;
    ::CreateDirectoryW(folder.In(L"p").c_str(), nullptr);
    ZYNSysTraceOutput written("w.txt"), empty("e.txt");
    ASSERT_EQ(written.OpenStorage(folder.In(L"p\\w.txt").c_str()), 0);
    ASSERT_EQ(empty.OpenStorage(folder.In(L"e.txt").c_str()), 0);
    ASSERT_EQ(written.WriteLine(4, "m", "p ", "\n"), 0);
    ASSERT_EQ(written.WriteLine(7, "m", "p ", nullptr), 0);
    EXPECT_EQ(written.WriteLine(1, nullptr, "p", "\n"), -1);
    EXPECT_EQ(written.Close(), 0);
    EXPECT_EQ(empty.Close(), 0);
    EXPECT_EQ(ReadAll(folder.In(L"p\\w.txt")), "[E]p m\r\np m");
    EXPECT_FALSE(Exists(folder.In(L"e.txt")));
}

VAROMET_CHILD_CASE(TraceLongLivedChild) {
    ::Sleep(60000);
    return 0;
}

// This program again, inheriting every inheritable handle, as the launcher starts its commands;
// ended when the object goes.
class InheritingChild {
public:
    InheritingChild() {
        wchar_t self[MAX_PATH];
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(self) + L"\" --child-case=TraceLongLivedChild";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &info)) {
            process_.Reset(info.hProcess);
            ZYNSysKernelHandle thread(info.hThread);
        }
    }
    ~InheritingChild() {
        if (!process_) return;
        ::TerminateProcess(process_.Get(), 1);
        ::WaitForSingleObject(process_.Get(), 20000);
    }
    bool Started() const { return process_.IsValid(); }

private:
    ZYNSysKernelHandle process_;
};

// A child that inherited the stream would hold the file open, and locked, for its whole life.
TEST(ZYNSysTraceOutput, ChildrenDoNotInheritItsFiles) {
    struct Case {
        const char* name;
        std::uint32_t rotateSize, rotateCount;
    };
    const Case cases[] = {{"appended file", 0, 0}, {"rotating file", 1000, 3}};
    for (const Case& c : cases) {
        TestFolder folder;
        const std::wstring path = folder.In(L"t.txt");
        std::unique_ptr<InheritingChild> child;
        {
            ZYNSysTraceOutput output("t.txt");
            output.rotateSize_ = c.rotateSize;
            output.rotateCount_ = c.rotateCount;
            ASSERT_EQ(output.OpenStorage(path.c_str()), 0) << c.name;
            ASSERT_EQ(output.WriteLine(1, "m", "p ", "\n"), 0) << c.name;
            child = std::make_unique<InheritingChild>();
            ASSERT_TRUE(child->Started()) << c.name << " " << ::GetLastError();
        }
        EXPECT_TRUE(::MoveFileW(path.c_str(), folder.In(L"moved.txt").c_str())) << c.name << " " << ::GetLastError();
    }
}

// Prints what GetTraceDirectory answers, or "failed".
VAROMET_CHILD_CASE(TracePrintDirectory) {
    wchar_t directory[2048];
    if (GetTraceDirectory(directory, 2048) != 0) {
        std::printf("failed");
    } else {
        std::printf("%ls", directory);
    }
    return 0;
}

TEST(GetTraceDirectory, FallsBackThroughTheCandidates) {
    TestFolder folder;
    ::CreateDirectoryW(folder.In(L"dir").c_str(), nullptr);
    ::CreateDirectoryW(folder.In(L"temp").c_str(), nullptr);
    ::CreateDirectoryW(folder.In(L"sys").c_str(), nullptr);
    struct Case {
        const char* name;
        Env environment;
        std::wstring expected;
    };
    const std::wstring missing = folder.In(L"missing");
    const Case cases[] = {
        {"the trace folder variable, its separator dropped",
         {{L"QORTraceDir", folder.In(L"dir\\")}, {L"QORTemp", folder.In(L"temp")}}, folder.In(L"dir\\ZYNSysTrace")},
        {"a missing trace folder falls back to QORTemp",
         {{L"QORTraceDir", missing}, {L"QORTemp", folder.In(L"temp")}}, folder.In(L"temp\\ZYNSysTrace")},
        {"then to the system's temporary folder",
         {{L"QORTraceDir", missing}, {L"QORTemp", missing}, {L"TMP", folder.In(L"sys")}, {L"TEMP", folder.In(L"sys")}},
         folder.In(L"sys\\ZYNSysTrace")},
    };
    for (const Case& c : cases) {
        const ChildProcess::Result child = ChildProcess::Run("TracePrintDirectory", c.environment);
        ASSERT_TRUE(child.started) << c.name;
        EXPECT_EQ(child.output, Narrow(c.expected)) << c.name;
        EXPECT_TRUE(Exists(c.expected)) << c.name;
    }
}

TEST(IsOwnedByTrustedAccount, TrustsOnlyThisUserTheAdministratorsAndTheSystem) {
    ZYNSysKernelHandle token;
    {
        HANDLE opened = nullptr;
        ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened));
        token.Reset(opened);
    }
    BYTE user[256];
    DWORD length = 0;
    ASSERT_TRUE(::GetTokenInformation(token.Get(), TokenUser, user, sizeof user, &length));
    struct Case {
        const char* name;
        WELL_KNOWN_SID_TYPE owner;  // WinNullSid: this user
        bool trusted;
    };
    const Case cases[] = {
        {"this user", WinNullSid, true},
        {"the administrators", WinBuiltinAdministratorsSid, true},
        {"the system", WinLocalSystemSid, true},
        {"the guests", WinBuiltinGuestsSid, false},
        {"everyone", WinWorldSid, false},
        {"the users", WinBuiltinUsersSid, false},
    };
    for (const Case& c : cases) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof sid;
        PSID owner = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
        if (c.owner != WinNullSid) {
            ASSERT_TRUE(::CreateWellKnownSid(c.owner, nullptr, sid, &size)) << c.name;
            owner = sid;
        }
        // An object of the kernel carries the owner it is given, where a file under Wine does not.
        SECURITY_DESCRIPTOR descriptor;
        ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
        ASSERT_TRUE(::SetSecurityDescriptorOwner(&descriptor, owner, FALSE));
        SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
        const ZYNSysKernelHandle event(::CreateEventW(&attributes, TRUE, FALSE, nullptr));
        if (!event) {
            std::printf("%s: no event of that owner can be made here (error %lu)\n", c.name, ::GetLastError());
            continue;
        }
        EXPECT_EQ(IsOwnedByTrustedAccount(event.Get(), SE_KERNEL_OBJECT), c.trusted) << c.name;
    }
    EXPECT_FALSE(IsOwnedByTrustedAccount(nullptr, SE_KERNEL_OBJECT)) << "an owner that cannot be read";
}

// Reports the guests as the owner of every file.
class GuestsOwnFiles final : public ZYNSysOwnerQuery {
public:
    bool Read(HANDLE, SE_OBJECT_TYPE type, PSID owner, DWORD size) override {
        return type == SE_FILE_OBJECT && ::CreateWellKnownSid(WinBuiltinGuestsSid, nullptr, owner, &size) != 0;
    }
};

// Prints what GetTraceDirectory answers, or "failed", while every file belongs to the guests.
VAROMET_CHILD_CASE(TracePrintDirectoryOwnedByGuests) {
    GuestsOwnFiles guests;
    ZYNSysSetOwnerQuery(&guests);
    wchar_t directory[2048];
    const int result = GetTraceDirectory(directory, 2048);
    ZYNSysSetOwnerQuery(nullptr);
    std::printf("%ls", result != 0 ? L"failed" : directory);
    return 0;
}

TEST(GetTraceDirectory, ATraceFolderOwnedBySomeoneElseIsRefused) {
    TestFolder folder;
    const ChildProcess::Result child = ChildProcess::Run("TracePrintDirectoryOwnedByGuests",
                                                         {{L"QORTraceDir", folder.Path()}, {L"QORTemp", std::nullopt}});
    ASSERT_TRUE(child.started);
    EXPECT_EQ(child.output, "failed");
}

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine makes no link through CreateSymbolicLinkW, but reads a Unix symlink to a folder as a
// reparse point: the Unix shell makes one (and removes it, since Wine deletes through it).
bool RunUnixShell(const std::wstring& folder, const std::wstring& command, bool (*done)(const std::wstring&),
                  const std::wstring& path) {
    std::wstring line = L"/bin/sh -c \"" + command + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(),
                          &startup, &info)) {
        return false;
    }
    ZYNSysKernelHandle process(info.hProcess);
    ZYNSysKernelHandle thread(info.hProcess ? info.hThread : nullptr);
    for (int i = 0; i < 1000; ++i) {
        if (done(path)) return true;
        ::Sleep(10);
    }
    return false;
}

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsGone(const std::wstring& path) { return !Exists(path); }

TEST(GetTraceDirectory, ALinkedTraceFolderIsRefused) {
    TestFolder folder;
    ::CreateDirectoryW(folder.In(L"elsewhere").c_str(), nullptr);
    const std::wstring link = folder.In(L"ZYNSysTrace");
    const bool wine = UnderWine();
    const bool made = wine ? RunUnixShell(folder.Path(), L"ln -s elsewhere ZYNSysTrace", IsReparsePoint, link)
                           : ::CreateSymbolicLinkW(link.c_str(), folder.In(L"elsewhere").c_str(), 1 | 2) != 0;
    if (!made || !IsReparsePoint(link)) {
        if (made && !wine) ::RemoveDirectoryW(link.c_str());
        GTEST_SKIP() << "no folder link can be made here";
    }
    const ChildProcess::Result child =
        ChildProcess::Run("TracePrintDirectory", {{L"QORTraceDir", folder.Path()}, {L"QORTemp", std::nullopt}});
    const ChildProcess::Result traced = ChildProcess::Run(
        "TraceWritesThroughNames", {{L"QORTraceDir", folder.Path()}, {L"ZYNSysTrace", L"-flinked.txt LINKED"},
                                    {L"TRACE_TEST_NAMES", L"LINKED"}, {L"QORTraDecDir", std::nullopt}});
    if (wine) {
        EXPECT_TRUE(RunUnixShell(folder.Path(), L"rm -f ZYNSysTrace", IsGone, link));
    } else {
        ::RemoveDirectoryW(link.c_str());
    }
    ASSERT_TRUE(child.started);
    EXPECT_EQ(child.output, "failed");
    ASSERT_TRUE(traced.started);
    EXPECT_EQ(traced.exitCode, 0u) << traced.output;
    WIN32_FIND_DATAW entry;
    ZYNSysFindHandle search(::FindFirstFileW(folder.In(L"elsewhere\\D*").c_str(), &entry));
    EXPECT_FALSE(search.IsValid()) << "a per-process folder went through the link";
}
