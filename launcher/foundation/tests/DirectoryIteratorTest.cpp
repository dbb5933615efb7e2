#include "DirectoryIterator.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "ErrorStack.h"
#include "PathTestSupport.h"
#include "ZYNSysKernelHandle.h"

namespace {

std::set<std::wstring> List(const std::wstring& directory, std::uint32_t mask) {
    std::set<std::wstring> names;
    DirectoryIterator entries(Wide(directory), mask);
    while (entries.Next() == 1) {
        std::wstring name = Std(entries.GetName());
        EXPECT_EQ(entries.entryKind, name == L"sub" ? 1u : 2u) << name;
        names.insert(name);
    }
    return names;
}

TEST(DirectoryIterator, ListsEntriesOfTheWantedKindsWithoutDots) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"a.txt")) && MakeFile(folder.In(L"b")) && MakeFolder(folder.In(L"sub")));
    ASSERT_TRUE(MakeFile(folder.In(L"sub\\inner")));
    struct Case {
        std::wstring directory;
        std::uint32_t mask;
        std::set<std::wstring> names;
    } cases[] = {
        {folder.Path(), 3, {L"a.txt", L"b", L"sub"}},
        {folder.Path(), 2, {L"a.txt", L"b"}},
        {folder.Path(), 1, {L"sub"}},
        {folder.In(L"sub"), 1, {}},
        {folder.Path() + L"\\", 3, {L"a.txt", L"b", L"sub"}},
        // A device-form folder takes no slash in its search pattern.
        {L"\\\\?\\" + folder.Path(), 2, {L"a.txt", L"b"}},
    };
    for (const Case& c : cases) EXPECT_EQ(List(c.directory, c.mask), c.names) << c.directory << " mask " << c.mask;
}

TEST(DirectoryIterator, ReportsTimesInWholeSecondsSinceTheUnixEpoch) {
    TestFolder folder;
    struct Case {
        const wchar_t* name;
        std::int64_t ticksAfterEpoch;  // 100 ns
        std::int64_t seconds;
    } cases[] = {{L"ten", 100000000, 10},
                 {L"ten-and-a-bit", 109999999, 10},
                 {L"day", 864000000000, 86400},
                 {L"before-1970", -100000000, -10}};
    for (const Case& c : cases) {
        std::wstring path = folder.In(c.name);
        ASSERT_TRUE(MakeFile(path));
        ZYNSysKernelHandle file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        std::uint64_t value = 116444736000000000ULL + static_cast<std::uint64_t>(c.ticksAfterEpoch);
        FILETIME time{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
        ASSERT_TRUE(::SetFileTime(file.Get(), &time, &time, &time)) << c.name;
    }
    for (const Case& c : cases) {
        DirectoryIterator entries(Wide(folder.Path()), 2);
        while (entries.Next() == 1 && entries.GetName() != SharedWString(c.name)) {
        }
        ASSERT_EQ(entries.GetName(), SharedWString(c.name));
        EXPECT_EQ(entries.creationTime, c.seconds) << c.name;
        EXPECT_EQ(entries.accessTime, c.seconds) << c.name;
        EXPECT_EQ(entries.writeTime, c.seconds) << c.name;
    }
}

TEST(DirectoryIterator, RecordsEmptyAndMissingFoldersButNotTheEnd) {
    TestFolder folder;
    ErrorWatch watch;
    DirectoryIterator unnamed(SharedWString(), 3);
    EXPECT_EQ(unnamed.Next(), -1);
    ASSERT_EQ(watch.Added().size(), 1u);
    const ErrorObject* record = watch.Added().front();
    EXPECT_EQ(Std(record->message), L"Input path is empty\n");
    EXPECT_EQ(record->severity, 1u);
    EXPECT_EQ(record->hresult, static_cast<std::uint32_t>(E_FAIL));
    EXPECT_EQ(record->win32Code, 1u);

    std::wstring missing = folder.In(L"missing");
    DirectoryIterator absent(Wide(missing), 3);
    EXPECT_EQ(absent.Next(), -1);
    ASSERT_EQ(watch.Added().size(), 2u);
    record = watch.Added().front();
    std::wstring head = L"\"" + missing + L"/\"\n\nError num: 3\n";
    EXPECT_EQ(Std(record->message).substr(0, head.size()), head);
    EXPECT_GT(record->message.GetLength(), static_cast<std::int32_t>(head.size())) << "the system's text follows";
    EXPECT_EQ(record->severity, 1u);
    EXPECT_EQ(record->win32Code, 3u);

    DirectoryIterator empty(Wide(folder.Path()), 3);
    EXPECT_EQ(empty.Next(), 0);
    EXPECT_EQ(watch.Added().size(), 2u);
}

}  // namespace
