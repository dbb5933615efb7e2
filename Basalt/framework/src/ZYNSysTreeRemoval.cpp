#include "ZYNSysTreeRemoval.h"

#include <cstddef>
#include <memory>
#include <new>

#include "ZYNSysDirListing.h"
#include "ZYNSysFileDisposition.h"
#include "ZYNSysKernelHandle.h"

namespace {

// A name takes at most 255 units: every read holds at least a dozen entries.
constexpr DWORD kListingBytes = 8192;
constexpr std::size_t kEntryHeader = offsetof(FILE_ID_BOTH_DIR_INFO, FileName);

bool IsPlainFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Some file systems give no file number (0) or none that fits in 64 bits (all ones): there
// the attributes alone decide.
bool SameFile(ULONGLONG listed, ULONGLONG opened) {
    const auto unknown = [](ULONGLONG id) { return id == 0 || id == ~0ULL; };
    return unknown(listed) || unknown(opened) || listed == opened;
}

// What the handle holds: its attributes and file number, or false with the last error set.
bool Describe(HANDLE handle, DWORD* attributes, ULONGLONG* id) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(handle, &information)) return false;
    *attributes = information.dwFileAttributes;
    *id = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

// The headers leave this class out for _WIN32_WINNT 0x0A00; its documented value.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// How a file system refuses a class it does not offer (Wine's answers ERROR_INVALID_PARAMETER).
bool ClassRefused(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_CALL_NOT_IMPLEMENTED;
}

// The POSIX way the name goes when this handle closes, though another process (an indexer, a
// scan) still holds the file open with share-delete: its folder can go next. The classic way
// keeps the name until the last handle closes. Either refuses a read-only file or a folder
// with entries.
DWORD DeleteThrough(HANDLE handle) {
    ZYNSysFileDisposition& disposition = ZYNSysGetFileDisposition();
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    const DWORD result = disposition.Set(handle, kFileDispositionInfoEx, &posix, sizeof posix);
    if (!ClassRefused(result)) return result;
    FILE_DISPOSITION_INFO classic{TRUE};
    return disposition.Set(handle, FileDispositionInfo, &classic, sizeof classic);
}

// The entry named in folder, itself: a link is opened, not its target.
DWORD OpenBeside(HANDLE folder, const wchar_t* name, DWORD nameBytes, bool list, ZYNSysKernelHandle& out) {
    const ZYNSysNtDirectoryApi& api = ZYNSysGetNtDirectoryApi();
    if (!api.NtCreateFile || !api.RtlNtStatusToDosError) return ERROR_PROC_NOT_FOUND;
    UNICODE_STRING text{};
    text.Buffer = const_cast<PWSTR>(name);
    text.Length = static_cast<USHORT>(nameBytes);
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        api.NtCreateFile(&handle, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE | (list ? FILE_LIST_DIRECTORY : 0),
                         &attributes, &io, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT,
                         nullptr, 0);
    if (!NT_SUCCESS(status)) return api.RtlNtStatusToDosError(status);
    out.Reset(handle);
    return ERROR_SUCCESS;
}

DWORD RemoveContents(HANDLE folder, bool recursive, int level);

// Entered only while the listing and the entry's own handle both show a plain folder, and
// the same one: a link planted after the listing may open as its target where the system
// follows it anyway, and then only the file number tells.
DWORD RemoveEntry(HANDLE folder, const FILE_ID_BOTH_DIR_INFO& entry, bool recursive, int level) {
    const bool listedFolder = IsPlainFolder(entry.FileAttributes);
    ZYNSysKernelHandle opened;
    DWORD result = OpenBeside(folder, entry.FileName, entry.FileNameLength, listedFolder, opened);
    if (result != ERROR_SUCCESS) return result;
    DWORD attributes = 0;
    ULONGLONG id = 0;
    if (!Describe(opened.Get(), &attributes, &id)) return ::GetLastError();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!recursive) return ERROR_SUCCESS;
        if (listedFolder && IsPlainFolder(attributes) && SameFile(entry.FileId.QuadPart, id)) {
            if (level >= kZYNSysMostTreeLevels) return ERROR_FILENAME_EXCED_RANGE;
            result = RemoveContents(opened.Get(), true, level + 1);
            if (result != ERROR_SUCCESS) return result;
        }
    }
    return DeleteThrough(opened.Get());
}

bool IsDotEntry(const FILE_ID_BOTH_DIR_INFO& entry) {
    const DWORD units = entry.FileNameLength / sizeof(wchar_t);
    return entry.FileName[0] == L'.' && (units == 1 || (units == 2 && entry.FileName[1] == L'.'));
}

DWORD RemoveContents(HANDLE folder, bool recursive, int level) {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kListingBytes]);
    if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
    FILE_INFO_BY_HANDLE_CLASS read = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(folder, read, buffer.get(), kListingBytes)) {
            const DWORD error = ::GetLastError();
            return error == ERROR_NO_MORE_FILES ? ERROR_SUCCESS : error;
        }
        read = FileIdBothDirectoryInfo;
        for (DWORD offset = 0;;) {
            if (offset > kListingBytes - kEntryHeader) return ERROR_INVALID_DATA;
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.get() + offset);
            if (entry->FileNameLength > kListingBytes - kEntryHeader - offset) return ERROR_INVALID_DATA;
            if (entry->FileNameLength > 0 && !IsDotEntry(*entry)) {
                const DWORD result = RemoveEntry(folder, *entry, recursive, level);
                if (result != ERROR_SUCCESS) return result;
            }
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
}

}  // namespace

DWORD ZYNSysRemoveFolderTree(const wchar_t* path, bool recursive) {
    if (!path || !*path) return ERROR_INVALID_PARAMETER;
    ZYNSysKernelHandle root(::CreateFileW(path, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    if (!root) return ::GetLastError();
    DWORD attributes = 0;
    ULONGLONG id = 0;
    if (!Describe(root.Get(), &attributes, &id)) return ::GetLastError();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return ERROR_DIRECTORY;
    // A folder that became a link since the caller looked is removed itself.
    if (IsPlainFolder(attributes)) {
        const DWORD result = RemoveContents(root.Get(), recursive, 0);
        if (result != ERROR_SUCCESS) return result;
    }
    return DeleteThrough(root.Get());
}
