#include "FileSystem.h"

#include <cstdlib>
#include <cwchar>
#include <io.h>

#include "ZYNSysKernelHandle.h"
#include "ZYNSysTreeRemoval.h"

namespace {

// A NUL unit would make the platform act on the shorter path before it.
bool HasNul(const SharedWString& path) {
    return std::wcslen(path.c_str()) != static_cast<std::size_t>(path.GetLength());
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix) {
        wchar_t a = *text, b = *prefix;
        if (a >= L'a' && a <= L'z') a = static_cast<wchar_t>(a - L'a' + L'A');
        if (a != b) return false;
    }
    return true;
}

// A drive, share or volume root, in plain or device ("\\?\", "\\.\") form.
bool IsRootText(const wchar_t* text) {
    bool device = IsSeparator(text[0]) && IsSeparator(text[1]) && (text[2] == L'?' || text[2] == L'.') &&
                  IsSeparator(text[3]);
    bool unc = IsSeparator(text[0]) && IsSeparator(text[1]) && !device;
    const wchar_t* rest = text;
    if (device) {
        rest = text + 4;
        if (StartsWithNoCase(rest, L"UNC") && IsSeparator(rest[3])) {
            rest += 4;
            unc = true;
            device = false;
        }
    } else if (unc) {
        rest = text + 2;
    }
    int components = 0;
    const wchar_t* first = nullptr;
    std::size_t firstLength = 0;
    for (const wchar_t* p = rest; *p;) {
        while (IsSeparator(*p)) ++p;
        if (!*p) break;
        const wchar_t* start = p;
        while (*p && !IsSeparator(*p)) ++p;
        if (components++ == 0) {
            first = start;
            firstLength = static_cast<std::size_t>(p - start);
        }
    }
    if (unc) return components <= 2;
    if (device) return components <= 1;
    return components == 1 && firstLength == 2 && first[1] == L':' && !IsSeparator(text[0]);
}

// Checked on the text as given ("C:" alone means the drive's current folder to the platform)
// and once resolved; a path that cannot be resolved counts as a root.
bool IsDriveOrShareRoot(const SharedWString& path) {
    if (path.IsEmpty()) return false;
    if (IsRootText(path.c_str())) return true;
    // "C:\x\..", "." or "\" resolve to a root too.
    DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) return true;
    SharedWString full;
    wchar_t* buffer = full.GetBuffer(static_cast<std::int32_t>(size));
    if (!buffer) return true;
    DWORD written = ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    if (written == 0 || written >= size) return true;
    full.ReleaseBuffer(static_cast<std::int32_t>(written));
    return IsRootText(full.c_str());
}

DWORD LastErrorOr(BOOL ok) {
    return ok ? ERROR_SUCCESS : ::GetLastError();
}

DWORD DeleteByType(const SharedWString& path, std::int32_t type) {
    switch (type) {
        case kPathAbsent:
            return ERROR_INVALID_FUNCTION;
        case kPathFile:
        case kPathFileLink:
            return LastErrorOr(::DeleteFileW(path.c_str()));
        case kPathDirectoryLink:
            return LastErrorOr(::RemoveDirectoryW(path.c_str()));
        case kPathDirectory:
            // Walked by handle: an entry swapped for a link while the walk runs is removed
            // itself, never entered.
            return ZYNSysRemoveFolderTree(path.c_str(), true);
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace

std::int32_t GetPathType(const SharedWString& path) {
    if (path.IsEmpty() || HasNul(path)) return kPathAbsent;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (::GetLastError() != ERROR_SHARING_VIOLATION) return kPathAbsent;
        WIN32_FIND_DATAW entry;
        ZYNSysFindHandle search(::FindFirstFileW(path.c_str(), &entry));
        if (!search) return kPathAbsent;
        attributes = entry.dwFileAttributes;
    }
    bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return link ? kPathDirectoryLink : kPathDirectory;
    return link ? kPathFileLink : kPathFile;
}

DWORD DeletePathTree(const SharedWString& path, std::int32_t type) {
    if (type == kPathAbsent) return ERROR_INVALID_FUNCTION;
    if (HasNul(path)) return ERROR_INVALID_NAME;
    if (IsDriveOrShareRoot(path)) return ERROR_ACCESS_DENIED;
    return DeleteByType(path, type);
}

DWORD DeletePathIfExists(const SharedWString& path) {
    if (path.IsEmpty()) return ERROR_FILE_NOT_FOUND;
    return DeletePathTree(path, GetPathType(path));
}

bool PathAccessible(const SharedWString& path) {
    if (HasNul(path)) return false;
    return ::_waccess(path.c_str(), 0) == 0;
}

DWORD MovePath(const SharedWString& source, const SharedWString& destination) {
    if (source.IsEmpty() || destination.IsEmpty()) return ERROR_FILE_NOT_FOUND;
    if (HasNul(source) || HasNul(destination)) return ERROR_INVALID_NAME;
    return LastErrorOr(::MoveFileW(source.c_str(), destination.c_str()));
}

SharedWString GetEnvW(const SharedWString& name) {
    const wchar_t* value = ::_wgetenv(name.c_str());
    return SharedWString(value);
}

void SetEnvW(const SharedWString& name, const SharedWString& value) {
    // "A=B" as a name would set A: the platform splits at the first '='.
    if (name.IsEmpty() || name.Find(L"=", 0) >= 0) return;
    SharedWString assignment(name);
    assignment.Append2(L"=", value);
    ::_wputenv(assignment.c_str());
}
