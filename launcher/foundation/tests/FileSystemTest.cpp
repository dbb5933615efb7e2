#include "FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>

#include "PathTestSupport.h"
#include "ZYNSysDirListing.h"

namespace {

using namespace std::string_literals;

// Symbolic links in a test folder. Under Wine a Unix symlink stands in (Wine's
// CreateSymbolicLinkW reports success and makes nothing), and it is removed on the Unix side
// too: Wine resolves a link before deleting it, so the folder's clean-up would remove the
// target and leave the link.
class Links {
public:
    explicit Links(const TestFolder& folder) : folder_(folder) {}
    ~Links() {
        if (unixNames_.empty()) return;
        const std::wstring done = folder_.In(L"links-removed");
        RunUnixShell(folder_.Path(), "rm -f" + unixNames_ + " && : > links-removed", [&] { return Exists(done); });
    }
    Links(const Links&) = delete;
    Links& operator=(const Links&) = delete;

    // A link at folder\link to target (relative to the link).
    bool Make(std::wstring target, std::wstring link, bool directory) {
        const std::wstring path = folder_.In(link);
        if (!UnderWine()) {
            DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
            return ::CreateSymbolicLinkW(path.c_str(), target.c_str(), flags) && Exists(path);
        }
        std::replace(target.begin(), target.end(), L'\\', L'/');
        std::replace(link.begin(), link.end(), L'\\', L'/');
        const std::string name = "'" + Utf16ToUtf8(link.c_str()) + "'";
        const std::string command = "ln -s '" + Utf16ToUtf8(target.c_str()) + "' " + name;
        unixNames_ += " " + name;
        const bool made = RunUnixShell(folder_.Path(), command, [&] { return Exists(path); });
        EXPECT_TRUE(made) << command;
        return made;
    }

private:
    const TestFolder& folder_;
    std::string unixNames_;
};

constexpr const char* kNoLinks = "no symbolic link can be made here (Windows wants a privilege or developer mode)";

TEST(FileSystem, GetPathTypeTellsFoldersFilesAndFolderLinks) {
    TestFolder folder;
    Links links(folder);
    ASSERT_TRUE(MakeFolder(folder.In(L"d")) && MakeFile(folder.In(L"d\\keep")) && MakeFile(folder.In(L"f")));
    struct Case {
        std::wstring path;
        std::int32_t type;
    } cases[] = {{L"", 0}, {folder.In(L"missing"), 0}, {folder.In(L"d"), 1}, {folder.In(L"f"), 2},
                 {folder.In(L"d") + L"\0x"s, 0}};
    for (const Case& c : cases) EXPECT_EQ(GetPathType(Wide(c.path)), c.type) << c.path;
    if (!links.Make(L"d", L"dlink", true)) GTEST_SKIP() << kNoLinks;
    EXPECT_EQ(GetPathType(Wide(folder.In(L"dlink"))), 5);
}

TEST(FileSystem, GetPathTypeTellsFileLinks) {
    TestFolder folder;
    Links links(folder);
    ASSERT_TRUE(MakeFile(folder.In(L"f")));
    if (!links.Make(L"f", L"flink", false)) GTEST_SKIP() << kNoLinks;
    std::int32_t type = GetPathType(Wide(folder.In(L"flink")));
    if (type == 2 && UnderWine())
        GTEST_SKIP() << "Windows only: Wine 8 marks only links to folders as reparse points, and makes no "
                        "reparse point of its own (FSCTL_SET_REPARSE_POINT answers ERROR_NOT_SUPPORTED)";
    EXPECT_EQ(type, 6);
}

TEST(FileSystem, DeletePathIfExistsRemovesNestedFolders) {
    TestFolder folder;
    ASSERT_TRUE(MakeFolder(folder.In(L"a")) && MakeFolder(folder.In(L"a\\b")) && MakeFolder(folder.In(L"a\\b\\c")));
    ASSERT_TRUE(MakeFile(folder.In(L"a\\1")) && MakeFile(folder.In(L"a\\b\\c\\2")) && MakeFolder(folder.In(L"a\\e")));
    ASSERT_TRUE(MakeFile(folder.In(L"g")));
    struct Case {
        std::wstring path;
        DWORD result;
    } cases[] = {{folder.In(L"a"), 0}, {folder.In(L"g"), 0}, {folder.In(L"a"), 1}, {L"", 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(DeletePathIfExists(Wide(c.path)), c.result) << c.path;
        EXPECT_FALSE(Exists(c.path)) << c.path;
    }
}

TEST(FileSystem, DeletePathTreeStopsAtAReadOnlyFile) {
    TestFolder folder;
    std::wstring file = folder.In(L"d\\ro");
    ASSERT_TRUE(MakeFolder(folder.In(L"d")) && MakeFile(file));
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DeletePathTree(Wide(folder.In(L"d")), 1), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(file));
}

TEST(FileSystem, DeletePathTreeActsOnlyOnWhatTheTypeAndTextSay) {
    TestFolder folder;
    std::wstring d = folder.In(L"d");
    ASSERT_TRUE(MakeFolder(d) && MakeFile(folder.In(L"d\\keep")));
    struct Case {
        std::wstring path;
        std::int32_t type;
        DWORD result;
    } cases[] = {
        {d, 0, 1},                              // "absent": nothing is looked at
        {d + L"\0\\x"s, 1, ERROR_INVALID_NAME},  // the text must not stop short at the folder
        {d, 9, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DeletePathTree(Wide(c.path), c.type), c.result) << c.path << " type " << c.type;
        EXPECT_TRUE(Exists(folder.In(L"d\\keep"))) << c.path;
    }
}

TEST(FileSystem, DeletePathTreeRefusesDriveAndShareRoots) {
    // Type 5 would only remove an empty folder: a missed root costs nothing here.
    const wchar_t* roots[] = {L"C:",           L"C:\\",          L"c:/",           L"C:\\.",
                              L"C:\\windows\\..", L"\\\\srv\\share", L"\\\\srv\\share\\", L"\\\\srv\\share\\x\\..",
                              L"\\\\?\\C:\\",  L"\\\\.\\C:",     L"\\\\?\\UNC\\srv\\share\\"};
    for (const wchar_t* root : roots) EXPECT_EQ(DeletePathTree(root, 5), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << root;
    ASSERT_EQ(GetPathType(L"C:\\windows"), 1);
    EXPECT_EQ(DeletePathTree(L"C:\\", 1), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(GetPathType(L"C:\\windows"), 1);
}

// A tree holding a link to a folder outside it; answers DeletePathTree's result.
DWORD DeleteTreeWithFolderLink(const TestFolder& folder, Links& links) {
    EXPECT_TRUE(MakeFolder(folder.In(L"target")) && MakeFile(folder.In(L"target\\keep")));
    EXPECT_TRUE(MakeFolder(folder.In(L"d")));
    if (!links.Make(L"..\\target", L"d\\link", true)) return ERROR_NOT_SUPPORTED;
    return DeletePathTree(Wide(folder.In(L"d")), 1);
}

TEST(FileSystem, DeletePathTreeNeverEntersAFolderLink) {
    TestFolder folder;
    Links links(folder);
    if (DeleteTreeWithFolderLink(folder, links) == ERROR_NOT_SUPPORTED) GTEST_SKIP() << kNoLinks;
    EXPECT_TRUE(Exists(folder.In(L"target\\keep")));
}

TEST(FileSystem, DeletePathTreeRemovesAFolderLinkItself) {
    TestFolder folder;
    Links links(folder);
    const DWORD result = DeleteTreeWithFolderLink(folder, links);
    if (result == ERROR_NOT_SUPPORTED) GTEST_SKIP() << kNoLinks;
    if (result == ERROR_DIR_NOT_EMPTY && UnderWine())
        GTEST_SKIP() << "Windows only: Wine 8 resolves a link before removing it, so RemoveDirectoryW tries the "
                        "target, and it makes no junction (FSCTL_SET_REPARSE_POINT answers ERROR_NOT_SUPPORTED)";
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(Exists(folder.In(L"d")));
}

// Runs a change once, just before the walk opens the entry of that name: what the walk
// listed is no longer what stands there.
class SwapBeforeOpen {
public:
    SwapBeforeOpen(const wchar_t* name, std::function<void()> swap) : api_(ZYNSysGetNtDirectoryApi()) {
        s_real = api_.NtCreateFile;
        s_name = name;
        s_swap = std::move(swap);
        api_.NtCreateFile = &Create;
        ZYNSysSetNtDirectoryApi(&api_);
    }
    ~SwapBeforeOpen() {
        ZYNSysSetNtDirectoryApi(nullptr);
        s_swap = nullptr;
    }
    SwapBeforeOpen(const SwapBeforeOpen&) = delete;
    SwapBeforeOpen& operator=(const SwapBeforeOpen&) = delete;

private:
    static NTSTATUS NTAPI Create(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                                 PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG fileAttributes, ULONG share,
                                 ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
        const UNICODE_STRING* name = attributes->ObjectName;
        if (s_swap && std::wstring(name->Buffer, name->Length / sizeof(wchar_t)) == s_name)
            std::exchange(s_swap, nullptr)();
        return s_real(handle, access, attributes, io, size, fileAttributes, share, disposition, options, ea,
                      eaLength);
    }

    ZYNSysNtDirectoryApi api_;
    static inline ZYNSysNtDirectoryApi::NtCreateFileFn s_real = nullptr;
    static inline std::wstring s_name;
    static inline std::function<void()> s_swap;
};

TEST(FileSystem, DeletePathTreeNeverEntersAFolderSwappedForALinkDuringTheWalk) {
    TestFolder folder;
    Links links(folder);
    ASSERT_TRUE(MakeFolder(folder.In(L"outside")) && MakeFile(folder.In(L"outside\\keep")));
    ASSERT_TRUE(MakeFolder(folder.In(L"d")) && MakeFolder(folder.In(L"d\\sub")) && MakeFile(folder.In(L"d\\sub\\in")));
    bool linked = false;
    SwapBeforeOpen swap(L"sub", [&] {
        linked = MovePath(Wide(folder.In(L"d\\sub")), Wide(folder.In(L"moved"))) == 0 &&
                 links.Make(L"..\\outside", L"d\\sub", true);
    });
    const DWORD result = DeletePathTree(Wide(folder.In(L"d")), 1);
    if (!linked) GTEST_SKIP() << kNoLinks;
    EXPECT_TRUE(Exists(folder.In(L"outside\\keep"))) << "the walk went through the link";
    EXPECT_TRUE(Exists(folder.In(L"moved\\in")));
    if (result == ERROR_DIR_NOT_EMPTY && UnderWine())
        GTEST_SKIP() << "Windows only: Wine 8 resolves a link before removing it, so removing the link tries the "
                        "target";
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(Exists(folder.In(L"d")));
}

TEST(FileSystem, DeletePathTreeRemovesANameWithoutUtf8Form) {
    TestFolder folder;
    ASSERT_TRUE(MakeFolder(folder.In(L"d")));
    if (!MakeFile(folder.In(L"d\\a\xDC00")))
        GTEST_SKIP() << "Windows only: Wine 8 stores names as UTF-8 and cannot create one with a lone surrogate";
    EXPECT_EQ(DeletePathTree(Wide(folder.In(L"d")), 1), 0u);
    EXPECT_FALSE(Exists(folder.In(L"d")));
}

TEST(FileSystem, MovePathNeverReplaces) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"a"), "AAA") && MakeFile(folder.In(L"b"), "B"));
    struct Case {
        std::wstring from, to;
        DWORD result;
    } cases[] = {{folder.In(L"a"), folder.In(L"b"), ERROR_ALREADY_EXISTS},
                 {folder.In(L"a"), folder.In(L"c"), 0},
                 {folder.In(L"a"), folder.In(L"d"), ERROR_FILE_NOT_FOUND},
                 {L"", folder.In(L"d"), 2},
                 {folder.In(L"c"), L"", 2}};
    for (const Case& c : cases) EXPECT_EQ(MovePath(Wide(c.from), Wide(c.to)), c.result) << c.from << " -> " << c.to;
    EXPECT_EQ(ReadAll(folder.In(L"b")), "B");
    EXPECT_EQ(ReadAll(folder.In(L"c")), "AAA");
    EXPECT_FALSE(Exists(folder.In(L"a")));
}

TEST(FileSystem, PathAccessibleAnswersForFilesAndFolders) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"f")));
    struct Case {
        std::wstring path;
        bool accessible;
    } cases[] = {{folder.In(L"f"), true}, {folder.Path(), true}, {folder.In(L"x"), false}, {L"", false},
                 {folder.Path() + L"\0x"s, false}};
    for (const Case& c : cases) EXPECT_EQ(PathAccessible(Wide(c.path)), c.accessible) << c.path;
}

}  // namespace
