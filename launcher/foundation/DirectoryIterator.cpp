#include "DirectoryIterator.h"

#include <cwchar>

#include "ErrorStack.h"

namespace {

std::int64_t ToUnixSeconds(const FILETIME& time) {
    constexpr std::int64_t kEpochDifference = 116444736000000000;  // 1601 to 1970 in 100 ns
    std::int64_t ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                                   time.dwLowDateTime);
    return (ticks - kEpochDifference) / 10000000;
}

bool IsDotEntry(const SharedWString& name) {
    return name == SharedWString(L".") || name == SharedWString(L"..");
}

}  // namespace

DirectoryIterator::DirectoryIterator(const SharedWString& directory, std::uint32_t kindMask)
    : kindMask(kindMask), directory(directory) {}

int DirectoryIterator::Next() {
    if (directory.IsEmpty()) {
        RaiseError(L"Input path is empty\n", 1, static_cast<std::uint32_t>(E_FAIL), 1);
        return -1;
    }
    for (;;) {
        int step = Step();
        if (step != 1) return step;
        if (!IsDotEntry(name) && (entryKind & kindMask) != 0) return 1;
    }
}

int DirectoryIterator::Step() {
    WIN32_FIND_DATAW entry;
    if (!search_) {
        SharedWString pattern(directory);
        // A backslash, not a slash: "\\?\" paths take no slashes.
        wchar_t last = directory.GetAt(directory.GetLength() - 1);
        pattern.Append(last == L'\\' || last == L'/' ? L"*" : L"\\*");
        if (std::wcslen(directory.c_str()) != static_cast<std::size_t>(directory.GetLength())) {
            // A NUL unit would list the folder its text stops at.
            ::SetLastError(ERROR_INVALID_NAME);
        } else {
            search_.Reset(::FindFirstFileW(pattern.c_str(), &entry));
        }
        if (!search_) {
            SharedWString message(L"\"");
            message.Append3(directory, L"/", L"\"\n");
            RaiseLastWin32Error(message, 1, static_cast<std::uint32_t>(E_FAIL));
            return -1;
        }
    } else if (!::FindNextFileW(search_.Get(), &entry)) {
        search_.Reset();
        return 0;
    }
    entryKind = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kDirectories : kFiles;
    name = entry.cFileName;
    creationTime = ToUnixSeconds(entry.ftCreationTime);
    accessTime = ToUnixSeconds(entry.ftLastAccessTime);
    writeTime = ToUnixSeconds(entry.ftLastWriteTime);
    return 1;
}
