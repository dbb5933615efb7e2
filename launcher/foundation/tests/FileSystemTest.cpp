#include "FileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "PathTestSupport.h"

namespace {

using namespace std::string_literals;

// A symbolic link at folder\link to target (relative to the link). Under Wine a Unix
// symlink stands in: Wine's CreateSymbolicLinkW reports success and makes nothing.
bool MakeLink(const TestFolder& folder, std::wstring target, std::wstring link, bool directory) {
    std::wstring path = folder.Path(link);
    if (!UnderWine()) {
        DWORD flags = (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
        return ::CreateSymbolicLinkW(path.c_str(), target.c_str(), flags) && Exists(path);
    }
    std::replace(target.begin(), target.end(), L'\\', L'/');
    std::replace(link.begin(), link.end(), L'\\', L'/');
    std::string command = "ln -s '" + Utf16ToUtf8(target.c_str()) + "' '" + Utf16ToUtf8(link.c_str()) + "'";
    bool made = RunUnixShell(folder.Path(), command, [&] { return Exists(path); });
    EXPECT_TRUE(made) << command;
    return made;
}

constexpr const char* kNoLinks = "no symbolic link can be made here (Windows wants a privilege or developer mode)";

TEST(FileSystem, GetPathTypeTellsFoldersFilesAndFolderLinks) {
    TestFolder folder;
    ASSERT_TRUE(MakeFolder(folder.Path(L"d")) && MakeFile(folder.Path(L"d\\keep")) && MakeFile(folder.Path(L"f")));
    struct Case {
        std::wstring path;
        std::int32_t type;
    } cases[] = {{L"", 0}, {folder.Path(L"missing"), 0}, {folder.Path(L"d"), 1}, {folder.Path(L"f"), 2},
                 {folder.Path(L"d") + L"\0x"s, 0}};
    for (const Case& c : cases) EXPECT_EQ(GetPathType(Wide(c.path)), c.type) << c.path;
    if (!MakeLink(folder, L"d", L"dlink", true)) GTEST_SKIP() << kNoLinks;
    EXPECT_EQ(GetPathType(Wide(folder.Path(L"dlink"))), 5);
}

TEST(FileSystem, GetPathTypeTellsFileLinks) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.Path(L"f")));
    if (!MakeLink(folder, L"f", L"flink", false)) GTEST_SKIP() << kNoLinks;
    std::int32_t type = GetPathType(Wide(folder.Path(L"flink")));
    if (type == 2 && UnderWine()) GTEST_SKIP() << "Wine 8 marks only symlinks to folders as reparse points";
    EXPECT_EQ(type, 6);
}

TEST(FileSystem, DeletePathIfExistsRemovesNestedFolders) {
    TestFolder folder;
    ASSERT_TRUE(MakeFolder(folder.Path(L"a")) && MakeFolder(folder.Path(L"a\\b")) && MakeFolder(folder.Path(L"a\\b\\c")));
    ASSERT_TRUE(MakeFile(folder.Path(L"a\\1")) && MakeFile(folder.Path(L"a\\b\\c\\2")) && MakeFolder(folder.Path(L"a\\e")));
    ASSERT_TRUE(MakeFile(folder.Path(L"g")));
    struct Case {
        std::wstring path;
        DWORD result;
    } cases[] = {{folder.Path(L"a"), 0}, {folder.Path(L"g"), 0}, {folder.Path(L"a"), 1}, {L"", 2}};
    for (const Case& c : cases) {
        EXPECT_EQ(DeletePathIfExists(Wide(c.path)), c.result) << c.path;
        EXPECT_FALSE(Exists(c.path)) << c.path;
    }
}

TEST(FileSystem, DeletePathTreeStopsAtAReadOnlyFile) {
    TestFolder folder;
    std::wstring file = folder.Path(L"d\\ro");
    ASSERT_TRUE(MakeFolder(folder.Path(L"d")) && MakeFile(file));
    ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(DeletePathTree(Wide(folder.Path(L"d")), 1), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(file));
}

TEST(FileSystem, DeletePathTreeActsOnlyOnWhatTheTypeAndTextSay) {
    TestFolder folder;
    std::wstring d = folder.Path(L"d");
    ASSERT_TRUE(MakeFolder(d) && MakeFile(folder.Path(L"d\\keep")));
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
        EXPECT_TRUE(Exists(folder.Path(L"d\\keep"))) << c.path;
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

TEST(FileSystem, DeletePathTreeRemovesAFolderLinkWithoutEnteringIt) {
    TestFolder folder;
    ASSERT_TRUE(MakeFolder(folder.Path(L"target")) && MakeFile(folder.Path(L"target\\keep")));
    ASSERT_TRUE(MakeFolder(folder.Path(L"d")));
    if (!MakeLink(folder, L"..\\target", L"d\\link", true)) GTEST_SKIP() << kNoLinks;
    DWORD result = DeletePathTree(Wide(folder.Path(L"d")), 1);
    EXPECT_TRUE(Exists(folder.Path(L"target\\keep")));
    if (result == ERROR_DIR_NOT_EMPTY && UnderWine())
        GTEST_SKIP() << "Wine 8 resolves a symlink before removing it, so RemoveDirectoryW tries the target";
    EXPECT_EQ(result, 0u);
    EXPECT_FALSE(Exists(folder.Path(L"d")));
}

TEST(FileSystem, DeletePathTreeRemovesANameWithoutUtf8Form) {
    TestFolder folder;
    ASSERT_TRUE(MakeFolder(folder.Path(L"d")));
    if (!MakeFile(folder.Path(L"d\\a\xDC00")))
        GTEST_SKIP() << "Wine 8 stores names as UTF-8 and cannot create one with a lone surrogate";
    EXPECT_EQ(DeletePathTree(Wide(folder.Path(L"d")), 1), 0u);
    EXPECT_FALSE(Exists(folder.Path(L"d")));
}

TEST(FileSystem, MovePathNeverReplaces) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.Path(L"a"), "AAA") && MakeFile(folder.Path(L"b"), "B"));
    struct Case {
        std::wstring from, to;
        DWORD result;
    } cases[] = {{folder.Path(L"a"), folder.Path(L"b"), ERROR_ALREADY_EXISTS},
                 {folder.Path(L"a"), folder.Path(L"c"), 0},
                 {folder.Path(L"a"), folder.Path(L"d"), ERROR_FILE_NOT_FOUND},
                 {L"", folder.Path(L"d"), 2},
                 {folder.Path(L"c"), L"", 2}};
    for (const Case& c : cases) EXPECT_EQ(MovePath(Wide(c.from), Wide(c.to)), c.result) << c.from << " -> " << c.to;
    EXPECT_EQ(ReadAll(folder.Path(L"b")), "B");
    EXPECT_EQ(ReadAll(folder.Path(L"c")), "AAA");
    EXPECT_FALSE(Exists(folder.Path(L"a")));
}

TEST(FileSystem, PathAccessibleAnswersForFilesAndFolders) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.Path(L"f")));
    struct Case {
        std::wstring path;
        bool accessible;
    } cases[] = {{folder.Path(L"f"), true}, {folder.Path(), true}, {folder.Path(L"x"), false}, {L"", false},
                 {folder.Path() + L"\0x"s, false}};
    for (const Case& c : cases) EXPECT_EQ(PathAccessible(Wide(c.path)), c.accessible) << c.path;
}

}  // namespace
