#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ChildProcess.h"
#include "QORThrLibraryManager.h"
#include "TestFolder.h"
#include "ZYNSysDirListing.h"
#include "ZYNSysFileDisposition.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysLoadModule.h"
#include "ZYNSysPath.h"

namespace {

constexpr HRESULT kNoMoreFiles = static_cast<HRESULT>(0x80070012);
constexpr HRESULT kBadNetPath = static_cast<HRESULT>(0x80070035);

std::wstring TextOf(const ZYNSysPath& path) { return path.Text() ? path.Text() : L"<none>"; }

bool MakeFile(const std::wstring& path) {
    ZYNSysKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.Get(), "abc", 3, &written, nullptr);
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool UnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

// Every name a listing gives, or the failure that ended it.
HRESULT ListNames(const ZYNSysPath& folder, std::set<std::wstring>& names, const wchar_t* pattern = nullptr,
                  std::uint16_t flags = 0) {
    ZYNSysDirIterator it;
    HRESULT step = it.Begin(folder, pattern, flags);
    while (step == S_OK) {
        names.insert(it.CurrentName());
        step = it.Next();
    }
    return step == 1 ? S_OK : step;
}

// A ntdll that lacks the names it is given.
class HidingResolver : public ZYNSysNtdllResolver {
public:
    explicit HidingResolver(const char* hidden) : hidden_(hidden) {}
    void* Find(const char* name) override {
        if (std::string(name) == hidden_) return nullptr;
        return reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), name));
    }

private:
    std::string hidden_;
};

struct InstalledApi {
    explicit InstalledApi(const ZYNSysNtDirectoryApi& api) : api_(api) { ZYNSysSetNtDirectoryApi(&api_); }
    ~InstalledApi() { ZYNSysSetNtDirectoryApi(nullptr); }
    ZYNSysNtDirectoryApi api_;
};

}  // namespace

TEST(ZYNSysPath, SetKeepsTheCanonicalLongFormAndRefusesBadTexts) {
    const std::wstring longDir(250, L'd');
    const std::wstring longPath = L"C:\\" + longDir + L"\\" + std::wstring(40, L'e') + L"\\..\\f";
    struct Case {
        const char* name;
        std::wstring text;
        std::wstring expected;  // empty: the path stays invalid
        std::uint32_t kind;
    } cases[] = {
        {"slashes, doubles and dots", L"C:/Temp//x/../y/", L"\\\\?\\C:\\Temp\\y", kZYNSysPathDrive},
        {"UNC", L"\\\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a", kZYNSysPathUNC},
        {"UNC with a drive", L"\\\\?\\UNC\\C:", L"", 0},
        {"relative keeps its dots", L"relative\\a\\..", L"relative\\a\\..", kZYNSysPathRelative},
        {"letter and backslash", L"a\\b", L"", 0},
        {"two letters and backslash", L"ab\\c", L"ab\\c", kZYNSysPathRelative},
        {"web", L"http://h/x", L"http://h/x", kZYNSysPathHttp},
        {"dots clamped at the drive", L"C:\\a\\..\\..\\..\\b", L"\\\\?\\C:\\b", kZYNSysPathDrive},
        {"dots clamped at the share", L"\\\\srv\\share\\a\\..\\..\\..", L"\\\\?\\UNC\\srv\\share", kZYNSysPathUNC},
        {"prefixed with dots", L"\\\\?\\C:\\x\\.\\..\\y", L"\\\\?\\C:\\y", kZYNSysPathDrive},
        {"drive root", L"C:\\", L"\\\\?\\C:\\", kZYNSysPathDrive},
        {"long path with dots", longPath, L"\\\\?\\C:\\" + longDir + L"\\f", kZYNSysPathDrive},
        {"long component in a long path", L"C:\\" + std::wstring(300, L'x'), L"", 0},
        {"drive alone", L"C:", L"", 0},
        {"forbidden character", L"C:\\a<b", L"", 0},
        {"logical", L"\x01\x02\\docs\\a", L"\x01\x02\\docs\\a", kZYNSysPathLogical},
    };
    for (const Case& c : cases) {
        ZYNSysPath path;
        const HRESULT result = path.SetWide(c.text.c_str());
        if (c.expected.empty()) {
            EXPECT_EQ(result, E_FAIL) << c.name;
            EXPECT_FALSE(path.IsValid()) << c.name;
            continue;
        }
        EXPECT_EQ(result, S_OK) << c.name;
        EXPECT_EQ(TextOf(path), c.expected) << c.name;
        EXPECT_EQ(path.Flags() & (c.kind | kZYNSysPathInvalid), c.kind) << c.name;
    }
}

TEST(ZYNSysPath, BuildFromUTF8RefusesNullEmptyAndInvalidText) {
    struct Case {
        const char* name;
        const char* text;
        HRESULT expected;
    } cases[] = {{"null", nullptr, E_FAIL},
                 {"empty", "", E_INVALIDARG},
                 {"invalid UTF-8", "C:\\a\xff", E_INVALIDARG},
                 {"accented", "C:\\caf\xc3\xa9", S_OK}};
    for (const Case& c : cases) {
        ZYNSysPath path;
        EXPECT_EQ(path.BuildFromUTF8(c.text), c.expected) << c.name;
    }
    ZYNSysPath path;
    ASSERT_EQ(path.BuildFromUTF8("C:\\caf\xc3\xa9"), S_OK);
    EXPECT_EQ(TextOf(path), L"\\\\?\\C:\\caf\u00e9");
}

TEST(ZYNSysPath, AppendJoinsValidatedComponents) {
    struct Case {
        const char* name;
        const wchar_t* path;
        const wchar_t* component;
        HRESULT result;
        const wchar_t* expected;
    } cases[] = {
        {"web", L"http://h/x", L"y", S_OK, L"http://h/x/y"},
        {"web ending in a slash", L"http://h/x/", L"y", S_OK, L"http://h/x/y"},
        {"drive", L"C:\\a", L"b", S_OK, L"\\\\?\\C:\\a\\b"},
        {"separators around", L"C:\\a", L"\\b\\", S_OK, L"\\\\?\\C:\\a\\b"},
        {"dot", L"C:\\a", L".", S_OK, L"\\\\?\\C:\\a"},
        {"empty", L"C:\\a", L"", S_OK, L"\\\\?\\C:\\a"},
        {"dot dot at the root", L"C:\\a", L"..\\..", S_OK, L"\\\\?\\C:\\"},
        {"asterisk", L"C:\\a", L"b*", E_FAIL, L"\\\\?\\C:\\a"},
        {"colon", L"C:\\a", L"b:c", E_FAIL, L"\\\\?\\C:\\a"},
    };
    for (const Case& c : cases) {
        ZYNSysPath path;
        ASSERT_EQ(path.SetWide(c.path), S_OK) << c.name;
        EXPECT_EQ(path.AppendWide(c.component), c.result) << c.name;
        EXPECT_EQ(TextOf(path), c.expected) << c.name;
    }
    ZYNSysPath unset;
    EXPECT_EQ(unset.AppendUTF8("x"), E_FAIL);
    EXPECT_EQ(unset.AppendUTF8("\xff"), E_INVALIDARG);
}

TEST(ZYNSysPath, ParentAndLeafSplitAtTheLastSeparator) {
    struct Case {
        const wchar_t* path;
        const wchar_t* parent;  // "" for none
        const wchar_t* leaf;
    } cases[] = {
        {L"C:\\a\\b", L"\\\\?\\C:\\a", L"b"},
        {L"C:\\a", L"\\\\?\\C:\\", L"a"},
        {L"\\\\srv\\share\\f.txt", L"\\\\?\\UNC\\srv\\share", L"f.txt"},
        {L"http://h/x/y", L"http://h/x", L"y"},
        {L"name", L"", L"name"},
    };
    for (const Case& c : cases) {
        ZYNSysPath path, parent, leaf;
        ASSERT_EQ(path.SetWide(c.path), S_OK) << c.path;
        HRESULT result = S_OK;
        path.GetParent(parent, &result);
        EXPECT_EQ(result, S_OK) << c.path;
        EXPECT_EQ(parent.IsValid() ? TextOf(parent) : L"", c.parent) << c.path;
        path.GetLeaf(leaf, &result);
        EXPECT_EQ(result, S_OK) << c.path;
        EXPECT_EQ(TextOf(leaf), c.leaf) << c.path;
    }
    ZYNSysPath unset, out;
    HRESULT result = S_OK;
    unset.GetLeaf(out, &result);
    EXPECT_EQ(result, E_FAIL);
    result = E_INVALIDARG;  // an earlier failure skips the work
    ZYNSysPath good;
    good.SetWide(L"C:\\a\\b");
    good.GetParent(out, &result);
    EXPECT_EQ(result, E_INVALIDARG);
}

TEST(ZYNSysPath, AssignCopiesTheTextSoTheSourceCanChangeOrGo) {
    ZYNSysPath target;
    {
        ZYNSysPath source;
        ASSERT_EQ(source.SetWide(L"C:\\first"), S_OK);
        target.Assign(source);
        ASSERT_EQ(source.AppendWide(L"second\\third"), S_OK);
        EXPECT_EQ(TextOf(target), L"\\\\?\\C:\\first");
    }
    EXPECT_EQ(TextOf(target), L"\\\\?\\C:\\first");
    EXPECT_EQ(target.AppendWide(L"x"), S_OK);
    EXPECT_EQ(TextOf(target), L"\\\\?\\C:\\first\\x");
}

TEST(ZYNSysPathFunctions, ClassifyPathKindAndWin32ErrorToHResult) {
    struct Kind {
        const wchar_t* text;
        int kind;
    } kinds[] = {{L"\x01\x02\\a", 5},   {L"http://a", 2},    {L"https://a", 10}, {L"C:\\a", 4},
                 {L"\\\\ab", 18},       {L"QORDLN://a", 9},  {L"ftp://a", 16},   {L"ab", 6},
                 {L"\\a", -1},          {L"a", -1}};
    for (const Kind& k : kinds) {
        int kind = 0;
        EXPECT_EQ(ClassifyPathKind(k.text, &kind), k.kind < 0 ? E_FAIL : S_OK) << k.text;
        EXPECT_EQ(kind, k.kind) << k.text;
    }
    int kind = 0;
    EXPECT_EQ(ClassifyPathKind(nullptr, &kind), static_cast<HRESULT>(0x80070006));

    struct Error {
        DWORD code;
        DWORD facility;
        std::uint32_t expected;
    } errors[] = {{2, 7, 0x80070002}, {53, 7, 0x80070035}, {0, 7, 0x80070000}, {0x12345, 7, 0x80072345},
                  {5, 12, 0x800C0005}};
    for (const Error& e : errors)
        EXPECT_EQ(static_cast<std::uint32_t>(Win32ErrorToHResult(e.code, e.facility)), e.expected) << e.code;
}

TEST(ZYNSysPath, StatTellsFilesFoldersAndReadOnlyFiles) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"f")) && MakeFile(folder.In(L"ro")));
    ASSERT_TRUE(::SetFileAttributesW(folder.In(L"ro").c_str(), FILE_ATTRIBUTE_READONLY));
    struct Case {
        std::wstring path;
        HRESULT result;
        std::uint16_t mode;
        std::int64_t size;
    } cases[] = {{folder.Path(), S_OK, 0x41C0, 0},
                 {folder.In(L"f"), S_OK, 0x81C0, 3},
                 {folder.In(L"ro"), S_OK, 0x8100, 3},
                 {folder.In(L"missing"), static_cast<HRESULT>(0x80070002), 0, 0}};
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (const Case& c : cases) {
        ZYNSysPath path;
        ASSERT_EQ(path.SetWide(c.path.c_str()), S_OK) << c.path;
        ZYNSysStat stat;
        EXPECT_EQ(path.Stat(&stat), c.result) << c.path;
        EXPECT_EQ(stat.mode, c.mode) << c.path;
        EXPECT_EQ(stat.size, c.size) << c.path;
        if (c.result == S_OK) {
            EXPECT_LE(std::abs(stat.lastWrite - now), 120) << c.path;
        }
    }
    ::SetFileAttributesW(folder.In(L"ro").c_str(), FILE_ATTRIBUTE_NORMAL);
    ZYNSysPath web;
    ASSERT_EQ(web.SetWide(L"http://h/x"), S_OK);
    ZYNSysStat stat;
    EXPECT_EQ(web.Stat(&stat), static_cast<HRESULT>(0x8007045A));  // no module resolves web paths here
}

TEST(ZYNSysDirIterator, ListingsEndCleanlyAndRefuseBadPatterns) {
    TestFolder folder;
    ZYNSysPath root;
    ASSERT_EQ(root.SetWide(folder.Path().c_str()), S_OK);
    ASSERT_TRUE(::CreateDirectoryW(folder.In(L"empty").c_str(), nullptr) && MakeFile(folder.In(L"a.txt")));
    ZYNSysPath empty = root;
    ASSERT_EQ(empty.AppendWide(L"empty"), S_OK);

    ZYNSysDirIterator it, end;
    HRESULT result = S_OK;
    empty.ListDirectory(it, &result);
    empty.EndIterator(end);
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(it.Equals(end)) << "an empty folder lists as its end";

    struct Case {
        const char* name;
        const wchar_t* pattern;
        HRESULT expected;
        int state;
    } cases[] = {{"no match", L"*.none", 1, 1},
                 {"match", L"*.txt", S_OK, 0},
                 {"backslash", L"a\\b", E_INVALIDARG, -1},
                 {"colon", L"a:b", E_INVALIDARG, -1}};
    for (const Case& c : cases) {
        ZYNSysDirIterator listing;
        EXPECT_EQ(listing.Begin(root, c.pattern), c.expected) << c.name;
        EXPECT_EQ(listing.State(), c.state) << c.name;
    }
    ZYNSysPath file = root;
    ASSERT_EQ(file.AppendWide(L"a.txt"), S_OK);
    ZYNSysDirIterator onFile;
    EXPECT_EQ(onFile.Begin(file), E_FAIL);
}

TEST(ZYNSysDirIterator, AReusedIteratorListsTheFolderThePathNowNames) {
    TestFolder folder;
    for (const wchar_t* name : {L"a", L"b"}) ASSERT_TRUE(::CreateDirectoryW(folder.In(name).c_str(), nullptr)) << name;
    ASSERT_TRUE(MakeFile(folder.In(L"a\\one")) && MakeFile(folder.In(L"b\\two")));
    struct Case {
        const wchar_t* folder;
        const wchar_t* entry;
    } cases[] = {{L"a", L"one"}, {L"a", L"one"}, {L"b", L"two"}};
    ZYNSysPath path;
    ZYNSysDirIterator it;
    for (const Case& c : cases) {
        ASSERT_EQ(path.SetWide(folder.In(c.folder).c_str()), S_OK) << c.folder;
        HRESULT result = E_FAIL;
        path.ListDirectory(it, &result);
        EXPECT_EQ(result, S_OK) << c.folder;
        EXPECT_STREQ(it.CurrentName(), c.entry) << c.folder;
        EXPECT_EQ(it.Count(), 1u) << c.folder;
    }
}

TEST(ZYNSysDirIterator, ListsFiveHundredLongNamesOnceEach) {
    TestFolder folder;
    std::set<std::wstring> made;
    for (int i = 0; i < 500; ++i) {
        std::wstring name = std::to_wstring(i) + L"-";
        name.append(200 - name.size(), L'n');
        ASSERT_TRUE(MakeFile(folder.In(name))) << i;
        made.insert(name);
    }
    ZYNSysPath root;
    ASSERT_EQ(root.SetWide(folder.Path().c_str()), S_OK);
    ZYNSysDirIterator it, end;
    root.ListDirectory(it);
    root.EndIterator(end);
    std::set<std::wstring> seen;
    std::uint32_t steps = 0;
    while (!it.Equals(end) && steps++ < 1000) {
        ZYNSysPath current;
        ASSERT_EQ(it.GetCurrent(current), S_OK);
        EXPECT_EQ(TextOf(current), TextOf(root) + L"\\" + it.CurrentName());
        seen.insert(it.CurrentName());
        it.Next();
    }
    EXPECT_EQ(it.State(), 1);
    EXPECT_EQ(it.Count(), 500u);
    EXPECT_EQ(seen, made);
}

TEST(ZYNSysDirIterator, OnlyTheCaseSensitiveFilterNeedsRtlIsNameInExpression) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"Data.txt")) && MakeFile(folder.In(L"other.TXT")));
    ZYNSysPath root;
    ASSERT_EQ(root.SetWide(folder.Path().c_str()), S_OK);

    struct Case {
        const char* hidden;
        HRESULT load;
        HRESULT plain;
        HRESULT filtered;
    } cases[] = {{"RtlIsNameInExpression", S_OK, S_OK, E_UNEXPECTED},
                 {"NtQueryDirectoryFile", E_UNEXPECTED, E_UNEXPECTED, E_UNEXPECTED}};
    for (const Case& c : cases) {
        HidingResolver resolver(c.hidden);
        ZYNSysNtDirectoryApi api;
        EXPECT_EQ(LoadNtdllDirectoryApi(&api, &resolver), c.load) << c.hidden;
        InstalledApi installed(api);
        std::set<std::wstring> names;
        EXPECT_EQ(ListNames(root, names), c.plain) << c.hidden;
        if (c.plain == S_OK) {
            EXPECT_EQ(names.size(), 2u) << c.hidden;
        }
        std::set<std::wstring> filtered;
        EXPECT_EQ(ListNames(root, filtered, L"*.txt", 1), c.filtered) << c.hidden;
    }

    if (!ZYNSysGetNtDirectoryApi().RtlIsNameInExpression)
        GTEST_SKIP() << "this ntdll has no RtlIsNameInExpression: the case-sensitive filter cannot run";
    std::set<std::wstring> filtered, folded;
    EXPECT_EQ(ListNames(root, filtered, L"*.txt", 1), S_OK);
    EXPECT_EQ(filtered, (std::set<std::wstring>{L"Data.txt"}));
    EXPECT_EQ(ListNames(root, folded, L"*.txt", 0), S_OK);
    EXPECT_EQ(folded.size(), 2u);
}

namespace {

std::uint32_t g_largestAsked = 0;
int g_queries = 0;
ZYNSysNtDirectoryApi::NtQueryDirectoryFileFn g_realQuery = nullptr;

// Answers "buffer too small" to everything, for a few thousand calls at most.
NTSTATUS NTAPI AlwaysTooSmall(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG length, int, BOOLEAN,
                              PUNICODE_STRING, BOOLEAN) {
    g_largestAsked = std::max<std::uint32_t>(g_largestAsked, length);
    return ++g_queries > 40 ? static_cast<NTSTATUS>(0xC0000001) : static_cast<NTSTATUS>(0x80000005);
}

}  // namespace

TEST(ZYNSysDirIterator, TheBufferStopsGrowingAtOneMebibyte) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"f")));
    ZYNSysPath root;
    ASSERT_EQ(root.SetWide(folder.Path().c_str()), S_OK);
    ZYNSysNtDirectoryApi api = ZYNSysGetNtDirectoryApi();
    g_realQuery = api.NtQueryDirectoryFile;
    api.NtQueryDirectoryFile = &AlwaysTooSmall;
    g_largestAsked = 0;
    g_queries = 0;
    InstalledApi installed(api);
    ZYNSysDirIterator it;
    EXPECT_EQ(it.Begin(root), static_cast<HRESULT>(0x800700EA));
    EXPECT_EQ(it.State(), -1);
    EXPECT_EQ(g_largestAsked, kZYNSysDirBufferCap);
    EXPECT_LE(g_queries, 7);
}

TEST(ZYNSysPath, RemoveDeletesFilesAndTreesAsFarAsAllowed) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"file")));
    for (const wchar_t* name : {L"flat", L"deep", L"deep\\sub", L"kept", L"kept\\sub"})
        ASSERT_TRUE(::CreateDirectoryW(folder.In(name).c_str(), nullptr)) << name;
    for (const wchar_t* name : {L"flat\\a", L"deep\\sub\\b", L"kept\\c"}) ASSERT_TRUE(MakeFile(folder.In(name))) << name;
    struct Case {
        const wchar_t* name;
        bool recursive;
        HRESULT expected;
        bool gone;
    } cases[] = {{L"file", false, S_OK, true},
                 {L"flat", false, S_OK, true},
                 {L"deep", true, S_OK, true},
                 {L"kept", false, static_cast<HRESULT>(0x80070091), false},  // the subfolder stays: not empty
                 {L"missing", true, E_FAIL, false}};
    for (const Case& c : cases) {
        ZYNSysPath path;
        ASSERT_EQ(path.SetWide(folder.In(c.name).c_str()), S_OK) << c.name;
        EXPECT_EQ(path.Remove(c.recursive), c.expected) << c.name;
        if (c.expected != E_FAIL) {
            EXPECT_EQ(Exists(folder.In(c.name)), !c.gone) << c.name;
        }
    }
    EXPECT_TRUE(Exists(folder.In(L"kept\\sub")));
    EXPECT_FALSE(Exists(folder.In(L"kept\\c")));
}

namespace {

// Each disposition a removal asks for, as "posix <flags>" or "classic <delete>". The POSIX
// class gets the answer given; the classic one goes to the system.
class ScriptedDisposition final : public ZYNSysFileDisposition {
public:
    explicit ScriptedDisposition(DWORD posix) : posix_(posix), previous_(ZYNSysSetFileDisposition(this)) {}
    ~ScriptedDisposition() override { ZYNSysSetFileDisposition(previous_); }
    DWORD Set(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* record, DWORD size) override {
        if (kind == FileDispositionInfo) {
            asked.push_back("classic " + std::to_string(static_cast<FILE_DISPOSITION_INFO*>(record)->DeleteFile));
            return ::SetFileInformationByHandle(file, kind, record, size) ? ERROR_SUCCESS : ::GetLastError();
        }
        asked.push_back((kind == 21 ? "posix " : "class " + std::to_string(kind) + " ") +
                        std::to_string(static_cast<FILE_DISPOSITION_INFO_EX*>(record)->Flags));
        return posix_;
    }
    std::vector<std::string> asked;

private:
    DWORD posix_;
    ZYNSysFileDisposition* previous_;
};

}  // namespace

// POSIX deletion first, which takes a name away though another process holds the file open;
// the classic one where the file system refuses that class.
TEST(ZYNSysPath, RemoveTreeDeletesThePosixWayAndTheClassicWayWhereThatIsRefused) {
    const std::vector<std::string> fellBack = {"posix 3", "classic 1", "posix 3", "classic 1"};
    struct Case {
        const char* name;
        DWORD posix;
        HRESULT expected;
        std::vector<std::string> asked;
        bool gone;
    } cases[] = {
        {"refused as an invalid parameter", ERROR_INVALID_PARAMETER, S_OK, fellBack, true},
        {"refused as an invalid function", ERROR_INVALID_FUNCTION, S_OK, fellBack, true},
        {"refused as not supported", ERROR_NOT_SUPPORTED, S_OK, fellBack, true},
        {"refused as not implemented", ERROR_CALL_NOT_IMPLEMENTED, S_OK, fellBack, true},
        {"access denied", ERROR_ACCESS_DENIED, static_cast<HRESULT>(0x80070005), {"posix 3"}, false},
        // A success only claimed: nothing is deleted, and nothing is asked again.
        {"accepted", ERROR_SUCCESS, S_OK, {"posix 3", "posix 3"}, false},
    };
    for (const Case& c : cases) {
        TestFolder folder;
        ASSERT_TRUE(::CreateDirectoryW(folder.In(L"tree").c_str(), nullptr) && MakeFile(folder.In(L"tree\\f")));
        ZYNSysPath tree;
        ASSERT_EQ(tree.SetWide(folder.In(L"tree").c_str()), S_OK) << c.name;
        ScriptedDisposition disposition(c.posix);
        EXPECT_EQ(tree.RemoveTree(true), c.expected) << c.name;
        EXPECT_EQ(disposition.asked, c.asked) << c.name;
        EXPECT_EQ(Exists(folder.In(L"tree")), !c.gone) << c.name;
    }
}

TEST(ZYNSysPath, RemoveTreeRefusesFoldersNestedDeeperThan512Levels) {
    TestFolder folder;
    ZYNSysPath root;
    ASSERT_EQ(root.SetWide(folder.In(L"deep").c_str()), S_OK);
    std::wstring deepest = root.Text();  // the long form: the chain outgrows MAX_PATH
    ASSERT_TRUE(::CreateDirectoryW(deepest.c_str(), nullptr));
    for (int level = 1; level <= 513; ++level) {
        deepest += L"\\d";
        ASSERT_TRUE(::CreateDirectoryW(deepest.c_str(), nullptr)) << level;
    }
    EXPECT_EQ(root.RemoveTree(true), static_cast<HRESULT>(0x800700CE));  // ERROR_FILENAME_EXCED_RANGE
    EXPECT_TRUE(Exists(deepest));
    ASSERT_TRUE(::RemoveDirectoryW(deepest.c_str()));
    EXPECT_EQ(root.RemoveTree(true), S_OK);
    EXPECT_FALSE(Exists(root.Text()));
}

TEST(ZYNSysPath, ListingResolvesOnlyLocalAndLogicalKinds) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"x")));
    struct Case {
        const char* name;
        std::wstring directory;
        HRESULT expected;
    } cases[] = {{"local", folder.Path(), S_OK},
                 {"web", L"http://h/x", E_NOTIMPL},
                 {"logical without its module", L"QORDLN://docs", E_INVALIDARG},
                 {"empty", L"", E_INVALIDARG}};
    for (const Case& c : cases) {
        ZYNSysNtDirState state;
        QORInterUnicodeString directory;
        if (!c.directory.empty()) directory.BuildFromWide(c.directory.c_str());
        EXPECT_EQ(NtEnumerateDirectory(&state, directory, QORInterUnicodeString(), 0), c.expected) << c.name;
    }
}

namespace {

// The folder GetTempPathW names, in long form, built by hand: a drive root keeps its separator.
std::wstring TempFolderText() {
    wchar_t text[MAX_PATH + 1] = {};
    std::wstring folder(text, ::GetTempPathW(MAX_PATH + 1, text));
    if (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    return L"\\\\?\\" + folder;
}

// The parent sets TMP and TEMP to a drive root.
VAROMET_CHILD_CASE(TempFolderAtADriveRoot) {
    ZYNSysPath temp;
    const HRESULT result = temp.SetToTempDirectory();
    const std::wstring text = TextOf(temp);
    if (result == S_OK && text == L"\\\\?\\C:\\") return 0;
    std::printf("%ld, %ls, expected \\\\?\\C:\\\n", static_cast<long>(result), text.c_str());
    return 1;
}

}  // namespace

TEST(ZYNSysPath, TheTemporaryFolderIsGetTempPathInLongForm) {
    ZYNSysPath temp;
    ASSERT_EQ(temp.SetToTempDirectory(), S_OK);
    EXPECT_EQ(TextOf(temp), TempFolderText());

    const ChildProcess::Result root =
        ChildProcess::Run("TempFolderAtADriveRoot", {{L"TMP", std::wstring(L"C:\\")}, {L"TEMP", std::wstring(L"C:\\")}});
    ASSERT_TRUE(root.started) << root.output;
    EXPECT_EQ(root.exitCode, 0u) << root.output;
}

namespace {

// "KT7GROUP" is the module beside this program that resolves "QORDLN://<text>" to <text>.
class RealPathLoader : public QORThrLibraryLoader {
public:
    ZYNSysModuleHandle Load(const char* shortName) override {
        if (std::string(shortName) != "KT7GROUP") return ZYNSysLoadFrameworkModule(shortName);
        return ZYNSysModuleHandle(::LoadLibraryW((TestProgramFolder() + L"\\vtrealpath.dll").c_str()));
    }
};

// The module's functions are looked up once per process: a child installs its loader first.
VAROMET_CHILD_CASE(ListingThroughRealPaths) {
    RealPathLoader loader;
    QORThrSetLibraryLoader(&loader);
    TestFolder folder;
    struct Case {
        const char* name;
        std::wstring directory;
        HRESULT expected;
    } cases[] = {{"a local folder", L"QORDLN://" + folder.Path(), S_OK},  // on its "." entry
                 {"a web address", L"QORDLN://http://h/x", E_INVALIDARG},
                 {"a logical path again", L"QORDLN://\x01\x02\\docs", E_INVALIDARG}};
    int failures = 0;
    for (const Case& c : cases) {
        ZYNSysNtDirState state;
        QORInterUnicodeString directory;
        directory.BuildFromWide(c.directory.c_str());
        const HRESULT result = NtEnumerateDirectory(&state, directory, QORInterUnicodeString(), 0);
        if (result != c.expected) {
            std::printf("%s: 0x%08lX, expected 0x%08lX\n", c.name, static_cast<unsigned long>(result),
                        static_cast<unsigned long>(c.expected));
            ++failures;
        }
    }
    QORThrSetLibraryLoader(nullptr);
    return failures;
}

}  // namespace

TEST(ZYNSysPath, ListingARealPathTakesOnlyLocalFolders) {
    const ChildProcess::Result child = ChildProcess::Run("ListingThroughRealPaths");
    ASSERT_TRUE(child.started) << child.output;
    EXPECT_EQ(child.exitCode, 0u) << child.output;
}

namespace {

// A folder link in a test folder: a junction-like Unix symlink under Wine, removed there on
// the Unix side, since Wine resolves a link before deleting it.
class FolderLink {
public:
    FolderLink(const std::wstring& folder, const std::wstring& target, const std::wstring& name)
        : folder_(folder), name_(name) {
        const std::wstring link = folder + L"\\" + name;
        if (!UnderWine()) {
            made_ = ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                          SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
            return;
        }
        std::wstring unixTarget = target;
        std::replace(unixTarget.begin(), unixTarget.end(), L'\\', L'/');
        made_ = RunShell(L"ln -s '" + unixTarget + L"' '" + name + L"'", [&] { return Exists(link); });
    }
    ~FolderLink() {
        if (made_ && UnderWine())
            RunShell(L"rm -f '" + name_ + L"' && : > link-gone", [&] { return Exists(folder_ + L"\\link-gone"); });
    }
    bool Made() const { return made_; }

private:
    template <typename Done>
    bool RunShell(const std::wstring& command, Done done) {
        std::wstring line = L"/bin/sh -c \"" + command + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder_.c_str(),
                              &startup, &info))
            return false;
        ZYNSysKernelHandle process(info.hProcess);
        ZYNSysKernelHandle thread(info.hProcess ? info.hThread : nullptr);
        for (int i = 0; i < 1000 && !done(); ++i) ::Sleep(10);
        return done();
    }

    std::wstring folder_;
    std::wstring name_;
    bool made_ = false;
};

}  // namespace

TEST(ZYNSysPath, RemoveTreeNeverEntersALinkedFolder) {
    TestFolder folder;
    const std::wstring target = folder.In(L"target");
    ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr) && MakeFile(target + L"\\keep"));
    ASSERT_TRUE(::CreateDirectoryW(folder.In(L"tree").c_str(), nullptr) && MakeFile(folder.In(L"tree\\f")));
    FolderLink link(folder.In(L"tree"), L"..\\target", L"link");
    if (!link.Made()) GTEST_SKIP() << "no folder link can be made here";
    ZYNSysPath tree;
    ASSERT_EQ(tree.SetWide(folder.In(L"tree").c_str()), S_OK);
    const HRESULT removed = tree.RemoveTree(true);
    EXPECT_TRUE(Exists(target + L"\\keep")) << "the walk went through the link";
    if (UnderWine()) return;  // Wine deletes a link's target rather than the link: only the walk is checked
    EXPECT_EQ(removed, S_OK);
    EXPECT_FALSE(Exists(folder.In(L"tree")));
}

namespace {

ZYNSysNtDirectoryApi::NtCreateFileFn g_realCreate = nullptr;

struct Open {
    ULONG options;
    bool beside;  // named relative to an open folder
    std::wstring name;
};
std::vector<Open> g_opens;
// Run once, just before the walk opens an entry of this name.
std::wstring g_swapName;
std::function<void()> g_swap;

NTSTATUS NTAPI RecordingCreate(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                               PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG fileAttributes, ULONG share,
                               ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    const UNICODE_STRING* name = attributes->ObjectName;
    g_opens.push_back({options, attributes->RootDirectory != nullptr,
                       std::wstring(name->Buffer, name->Length / sizeof(wchar_t))});
    std::wstring last = g_opens.back().name;
    if (!last.empty() && last.back() == L'\\') last.pop_back();
    last.erase(0, last.rfind(L'\\') + 1);
    if (g_swap && last == g_swapName) std::exchange(g_swap, nullptr)();
    return g_realCreate(handle, access, attributes, io, size, fileAttributes, share, disposition, options, ea,
                        eaLength);
}

ZYNSysNtDirectoryApi RecordingApi() {
    ZYNSysNtDirectoryApi api = ZYNSysGetNtDirectoryApi();
    g_realCreate = api.NtCreateFile;
    api.NtCreateFile = &RecordingCreate;
    g_opens.clear();
    g_swap = nullptr;
    return api;
}

}  // namespace

// Each entry a removal meets is opened beside its folder, through the folder's handle, and
// as itself: a link is not followed. Listings follow links.
TEST(ZYNSysPath, RemovalsOpenEntriesAsThemselvesBesideTheirFolderAndListingsFollowLinks) {
    InstalledApi installed(RecordingApi());
    constexpr ULONG kListing = 33;
    constexpr ULONG kRemoval = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
    struct Case {
        const char* name;
        bool remove;
        std::size_t opens;
        ULONG options;
        bool beside;
    } cases[] = {{"listing", false, 1, kListing, false}, {"removal", true, 2, kRemoval, true}};
    for (const Case& c : cases) {
        TestFolder folder;
        ASSERT_TRUE(::CreateDirectoryW(folder.In(L"sub").c_str(), nullptr) && MakeFile(folder.In(L"sub\\f")));
        ZYNSysPath root;
        ASSERT_EQ(root.SetWide(folder.Path().c_str()), S_OK) << c.name;
        g_opens.clear();
        if (c.remove) {
            EXPECT_EQ(root.RemoveTree(true), S_OK) << c.name;
        } else {
            std::set<std::wstring> names;
            EXPECT_EQ(ListNames(root, names), S_OK) << c.name;
        }
        EXPECT_EQ(g_opens.size(), c.opens) << c.name;
        for (const Open& open : g_opens) {
            EXPECT_EQ(open.options, c.options) << c.name;
            EXPECT_EQ(open.beside, c.beside) << c.name;
        }
    }
}

// The folder the walk listed is swapped for a link to a folder outside the tree just before
// the walk opens it.
TEST(ZYNSysPath, RemoveTreeNeverEntersAFolderSwappedForALinkDuringTheWalk) {
    TestFolder folder;
    const std::wstring tree = folder.In(L"tree");
    ASSERT_TRUE(::CreateDirectoryW(folder.In(L"outside").c_str(), nullptr) && MakeFile(folder.In(L"outside\\keep")));
    ASSERT_TRUE(::CreateDirectoryW(tree.c_str(), nullptr) && ::CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(MakeFile(tree + L"\\sub\\inner") && MakeFile(tree + L"\\f"));
    InstalledApi installed(RecordingApi());
    std::optional<FolderLink> link;
    g_swapName = L"sub";
    g_swap = [&] {
        if (::MoveFileW((tree + L"\\sub").c_str(), folder.In(L"moved").c_str()))
            link.emplace(tree, L"..\\outside", L"sub");
    };
    ZYNSysPath root;
    ASSERT_EQ(root.SetWide(tree.c_str()), S_OK);
    const HRESULT removed = root.RemoveTree(true);
    if (!link || !link->Made()) GTEST_SKIP() << "no folder link can be made here";
    EXPECT_TRUE(Exists(folder.In(L"outside\\keep"))) << "the walk went through the link";
    EXPECT_TRUE(Exists(folder.In(L"moved\\inner")));
    if (UnderWine()) return;  // Wine deletes a link's target rather than the link: only the walk is checked
    EXPECT_EQ(removed, S_OK);
    EXPECT_FALSE(Exists(tree));
}

namespace {

// Attributes from a table: one server answers "bad network path", another "no such share".
// A barred server stays barred for the process: each run names its own.
class FakeNetwork : public ZYNSysFileAttributeQuery {
public:
    explicit FakeNetwork(const std::wstring& dead) : dead_(L"\\UNC\\" + dead + L"\\") {}
    BOOL Query(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data, DWORD* error) override {
        asked.insert(path);
        const std::wstring text(path);
        if (text.find(dead_) != std::wstring::npos) {
            *error = ERROR_BAD_NETPATH;
            return FALSE;
        }
        if (text.find(L"\\UNC\\nosharesrv\\") != std::wstring::npos) {
            *error = ERROR_BAD_NET_NAME;
            return FALSE;
        }
        *data = WIN32_FILE_ATTRIBUTE_DATA{};
        data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        return TRUE;
    }
    std::multiset<std::wstring> asked;

private:
    std::wstring dead_;
};

}  // namespace

TEST(ZYNSysPath, AServerThatWasUnreachableIsNotAskedAgain) {
    static int run = 0;
    const std::wstring prefix = L"dead" + std::to_wstring(++run) + L"srv";
    FakeNetwork network(prefix + L"12");
    ZYNSysSetFileAttributeQuery(&network);
    struct Case {
        std::wstring path;
        HRESULT expected;
        bool asked;
    } cases[] = {
        {L"\\\\" + prefix + L"12\\share", kBadNetPath, true},
        {L"\\\\" + prefix + L"12\\share", kBadNetPath, false},
        {L"\\\\DEAD" + std::to_wstring(run) + L"SRV12\\other", kBadNetPath, false},
        {L"\\\\" + prefix + L"1\\share", S_OK, true},  // a whole entry, not a part of one
        {L"\\\\nosharesrv\\share", static_cast<HRESULT>(0x80070043), true},
        {L"\\\\nosharesrv\\share", static_cast<HRESULT>(0x80070043), true},
    };
    for (const Case& c : cases) {
        ZYNSysPath path;
        ASSERT_EQ(path.SetWide(c.path.c_str()), S_OK) << c.path;
        network.asked.clear();
        ZYNSysStat stat;
        EXPECT_EQ(path.Stat(&stat, true), c.expected) << c.path;
        EXPECT_EQ(network.asked.size(), c.asked ? 1u : 0u) << c.path;
    }
    ZYNSysSetFileAttributeQuery(nullptr);
}

TEST(FileTimeToTime, CountsSecondsSince1970) {
    struct Case {
        std::uint64_t fileTime;
        std::int64_t seconds;
    } cases[] = {{116444736000000000ULL, 0},
                 {116444736000000000ULL + 10000000ULL * 86400, 86400},
                 {116444736000000000ULL + 9999999ULL, 0},
                 {133000000000000000ULL, 1655526400}};
    for (const Case& c : cases) {
        FILETIME time{static_cast<DWORD>(c.fileTime), static_cast<DWORD>(c.fileTime >> 32)};
        std::int64_t seconds = -1;
        EXPECT_EQ(FileTimeToTime(time, &seconds), S_OK) << c.fileTime;
        EXPECT_EQ(seconds, c.seconds) << c.fileTime;
    }
}

namespace {

FILETIME FileTimeOfSeconds(std::int64_t seconds) {
    const std::uint64_t ticks = static_cast<std::uint64_t>(seconds) * 10000000ULL + 116444736000000000ULL;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

// Run by ctest in Central European time with "QORDSTSETTING" at 1000: the system's conversion
// to local time takes today's offset, the C runtime's back takes the date's, and the setting is
// added for dates in summer time.
VAROMET_CHILD_CASE(DaylightSettingInCentralEurope) {
    TIME_ZONE_INFORMATION zone{};
    const bool summerNow = ::GetTimeZoneInformation(&zone) == TIME_ZONE_ID_DAYLIGHT;
    const std::int64_t offsetNow = summerNow ? 7200 : 3600;
    struct Case {
        const char* name;
        std::int64_t seconds;
        std::int64_t expected;
        const char* change;  // made to the environment first: the setting was read once
    } cases[] = {
        {"summer date", 1720000000, 1720000000 + offsetNow - 7200 + 1000, nullptr},
        {"winter date", 1705000000, 1705000000 + offsetNow - 3600, nullptr},
        {"summer date, setting changed", 1720000000, 1720000000 + offsetNow - 7200 + 1000, "QORDSTSETTING=5000"},
        {"summer date, setting removed", 1720000000, 1720000000 + offsetNow - 7200 + 1000, "QORDSTSETTING="},
    };
    int failures = 0;
    for (const Case& c : cases) {
        if (c.change) _putenv(c.change);
        std::int64_t seconds = 0;
        const HRESULT result = FileTimeToTime(FileTimeOfSeconds(c.seconds), &seconds);
        if (result != S_OK || seconds != c.expected) {
            std::printf("%s: %ld, %lld seconds, expected %lld\n", c.name, static_cast<long>(result),
                        static_cast<long long>(seconds), static_cast<long long>(c.expected));
            ++failures;
        }
    }
    return failures;
}
