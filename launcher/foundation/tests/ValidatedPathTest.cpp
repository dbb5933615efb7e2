#include "ValidatedPath.h"

#include <gtest/gtest.h>

#include <string>

#include "ErrorStack.h"
#include "PathTestSupport.h"
#include "ZYNSysKernelHandle.h"

#include <winioctl.h>

namespace {

using namespace std::string_literals;

std::wstring JoinParts(const WStringList& parts) {
    std::wstring out;
    WStringList::Iterator it(&parts);
    while (const SharedWString* part = it.Next()) out += (out.empty() ? L"" : L"|") + Std(*part);
    return out;
}

// The one record a failed validation must leave; empty when it must leave none.
std::wstring NewRecord(const ErrorWatch& watch) {
    std::vector<const ErrorObject*> added = watch.Added();
    if (added.empty()) return L"";
    const ErrorObject* record = added.front();
    EXPECT_EQ(added.size(), 1u);
    EXPECT_EQ(record->severity, 4u);
    EXPECT_EQ(record->hresult, static_cast<std::uint32_t>(E_FAIL));
    EXPECT_EQ(record->win32Code, 0u);
    return Std(record->message);
}

TEST(ValidatedPath, SplitsFoldsAndBuildsThePaths) {
    struct Case {
        const wchar_t* input;
        std::int32_t wanted, kind;
        const wchar_t *root, *parts, *fileName, *fullPath, *plainPath, *parentPath;
    } cases[] = {
        {L"C:\\a\\.\\b\\..\\c.txt", 0, 0, L"C:\\", L"a", L"c.txt", L"C:\\a\\c.txt", L"C:\\a\\c.txt", L"C:\\a"},
        {L"C:\\x.txt", 0, 0, L"C:\\", L"", L"x.txt", L"C:\\x.txt", L"C:\\x.txt", L"C:\\"},
        {L"C:/x/", 2, 1, L"C:\\", L"x", L"", L"C:\\x\\", L"C:\\x", L"C:\\"},
        {L"C:\\x\\y", 2, 2, L"C:\\", L"x|y", L"", L"C:\\x\\y", L"C:\\x\\y", L"C:\\x\\"},
        {L"c:", 1, 1, L"c:\\", L"", L"", L"c:\\", L"c:\\", L"c:\\"},
        {L"\\\\srv\\share\\d\\\\f", 0, 0, L"\\\\srv\\share\\", L"d", L"f", L"\\\\srv\\share\\d\\f",
         L"\\\\srv\\share\\d\\f", L"\\\\srv\\share\\d"},
        {L"\\\\srv\\share", 1, 1, L"\\\\srv\\share\\", L"", L"", L"\\\\srv\\share\\", L"\\\\srv\\share\\",
         L"\\\\srv\\share\\"},
    };
    for (const Case& c : cases) {
        ErrorWatch watch;
        ValidatedPath path(c.input, c.wanted, false);
        EXPECT_TRUE(path.valid) << c.input;
        EXPECT_EQ(NewRecord(watch), L"") << c.input;
        EXPECT_EQ(path.kind, c.kind) << c.input;
        EXPECT_EQ(Std(path.root), c.root) << c.input;
        EXPECT_EQ(JoinParts(path.parts), c.parts) << c.input;
        EXPECT_EQ(Std(path.fileName), c.fileName) << c.input;
        EXPECT_EQ(Std(path.fullPath), c.fullPath) << c.input;
        EXPECT_EQ(Std(path.plainPath), c.plainPath) << c.input;
        EXPECT_EQ(Std(path.parentPath), c.parentPath) << c.input;
    }
}

TEST(ValidatedPath, RaisesTheCatalogErrorForEachFault) {
    struct Case {
        std::wstring input;
        std::int32_t wanted;
        std::wstring message;
    } cases[] = {
        {L"", 0, L"ZYNInsControler.EmptyPath()"},
        {L"rel\\x", 0, L"ZYNInsControler.InvalidPathFormat(rel\\x)"},
        {L"C:x", 0, L"ZYNInsControler.InvalidPathFormat(C:x)"},
        {L"\\\\ab", 1, L"ZYNInsControler.InvalidPathFormat(\\\\ab)"},
        {L"1:\\x", 0, L"ZYNInsControler.InvalidDiskPathFormat(1:\\x)"},
        {L"\\\\srv", 1, L"ZYNInsControler.InvalidUNCPathFormat(\\\\srv)"},
        {L"\\\\srv\\share", 0, L"ZYNInsControler.RootIsNotAFile(\\\\srv\\share)"},
        {L"C:", 0, L"ZYNInsControler.NotAFileName(C:)"},
        {L"C:\\d\\", 0, L"ZYNInsControler.NotAFileName(C:\\d\\)"},
        {L"C:\\d\\..", 0, L"ZYNInsControler.NotAFileName(C:\\d\\..)"},
        {L"C:\\..", 1, L"ZYNInsControler.InvalidParentPath(C:\\..)"},
        {L"C:\\a\\..\\..\\b", 2, L"ZYNInsControler.InvalidParentPath(C:\\a\\..\\..\\b)"},
        {L"C:\\a*", 1, L"ZYNInsControler.ForbiddenCharInPath(C:\\a*)"},
        {L"C:\\f.txt:ads", 0, L"ZYNInsControler.ForbiddenCharInPath(C:\\f.txt:ads)"},
        {L"C:\\a?\\b", 1, L"ZYNInsControler.ForbiddenCharInPath(C:\\a?\\b)"},
        {L"C:\\\"", 2, L"ZYNInsControler.ForbiddenCharInPath(C:\\\")"},
        {L"C:\\a<b>", 0, L"ZYNInsControler.ForbiddenCharInPath(C:\\a<b>)"},
        {L"C:\\a|b", 0, L"ZYNInsControler.ForbiddenCharInPath(C:\\a|b)"},
        // Device namespaces and a cut-short text are refused as a whole.
        {L"\\\\.\\PhysicalDrive0", 0, L"ZYNInsControler.InvalidPathFormat(\\\\.\\PhysicalDrive0)"},
        {L"\\\\.\\pipe\\p", 0, L"ZYNInsControler.InvalidPathFormat(\\\\.\\pipe\\p)"},
        {L"\\\\?\\C:\\x.dll", 0, L"ZYNInsControler.InvalidPathFormat(\\\\?\\C:\\x.dll)"},
        {L"//?/C:/x", 1, L"ZYNInsControler.InvalidPathFormat(//?/C:/x)"},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x", 0,
         L"ZYNInsControler.InvalidPathFormat(\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\x)"},
        {L"\\\\?\\UNC\\srv\\share\\x", 0, L"ZYNInsControler.InvalidPathFormat(\\\\?\\UNC\\srv\\share\\x)"},
        {L"C:\\a\0\\b.txt"s, 0, L"ZYNInsControler.InvalidPathFormat(C:\\a\0\\b.txt)"s},
        // Collapsing the separators of "\\\?\" would make it a device path.
        {L"\\\\\\?\\GLOBALROOT\\x", 0, L"ZYNInsControler.InvalidUNCPathFormat(\\\\\\?\\GLOBALROOT\\x)"},
        {L"\\\\srv\\\\x", 0, L"ZYNInsControler.InvalidUNCPathFormat(\\\\srv\\\\x)"},
    };
    for (const Case& c : cases) {
        ErrorWatch watch;
        ValidatedPath path(Wide(c.input), c.wanted, false);
        EXPECT_FALSE(path.valid) << c.input;
        EXPECT_EQ(NewRecord(watch), c.message) << c.input;
    }
}

TEST(ValidatedPath, DiskCheckRefusesTheOtherKind) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"f.txt")));
    ASSERT_TRUE(MakeFolder(folder.In(L"d")));
    const std::wstring f = folder.In(L"f.txt"), d = folder.In(L"d");
    struct Case {
        std::wstring input;
        std::int32_t wanted;
        bool checkDisk;
        std::wstring message;
    } cases[] = {
        {d, 0, true, L"ZYNInsControler.InvalidFileDirExist(" + d + L", " + d + L")"},
        {f, 1, true, L"ZYNInsControler.InvalidDirFileExist(" + f + L", " + f + L")"},
        // The C runtime's stat fails on "file\": the separator is dropped before looking.
        {f + L"\\", 2, false, L"ZYNInsControler.InvalidDirFileExist(" + f + L"\\, " + f + L"\\)"},
        {d, 0, false, L""},
        {d + L"\\", 2, false, L""},
        {f, 2, false, L""},
        {f, 0, true, L""},
        {d, 1, true, L""},
        {folder.In(L"missing"), 0, true, L""},
    };
    for (const Case& c : cases) {
        ErrorWatch watch;
        ValidatedPath path(Wide(c.input), c.wanted, c.checkDisk);
        EXPECT_EQ(path.valid, c.message.empty()) << c.input;
        EXPECT_EQ(NewRecord(watch), c.message) << c.input;
    }
}

TEST(ValidatedPath, StatPathKindSeesThroughTrailingSeparators) {
    TestFolder folder;
    ASSERT_TRUE(MakeFile(folder.In(L"f")));
    ASSERT_TRUE(MakeFolder(folder.In(L"d")));
    struct Case {
        std::wstring path;
        std::int32_t kind;
    } cases[] = {{folder.In(L"f"), 0}, {folder.In(L"d"), 1},   {folder.In(L"d\\"), 1},
                 {folder.In(L"f\\"), 0}, {folder.In(L"x"), 2}, {L"C:\\", 1}, {L"", 2}};
    for (const Case& c : cases) EXPECT_EQ(StatPathKind(Wide(c.path)), c.kind) << c.path;
}

TEST(ValidatedPath, FileSizeIsExactPastFourGibibytes) {
    TestFolder folder;
    const std::int64_t sizes[] = {0, 5, (1LL << 31) + 7, (1LL << 32) + 5};
    for (std::int64_t size : sizes) {
        std::wstring path = folder.In(L"sparse-" + std::to_wstring(size));
        {
            ZYNSysKernelHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
            ASSERT_TRUE(file) << size;
            DWORD ignored = 0;
            // Sparse on NTFS too; under Wine a file extended without writing is sparse anyway.
            ::DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
            LARGE_INTEGER end;
            end.QuadPart = size;
            ASSERT_TRUE(::SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.Get())) << size;
        }
        EXPECT_EQ(GetValidatedFileSize(Wide(path)), size);
    }
    EXPECT_EQ(GetValidatedFileSize(Wide(folder.In(L"missing"))), -1);
    EXPECT_EQ(GetValidatedFileSize(L"relative.txt"), -1);
}

}  // namespace
