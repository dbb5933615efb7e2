#include "ValidatedPath.h"

#include <sys/stat.h>

#include "ErrorStack.h"

namespace {

constexpr std::uint32_t kSeverity = 4;

void Raise(const wchar_t* messageId, const WStringList* parameters) {
    RaiseCatalogError(L"ZYNInsControler", messageId, parameters, kSeverity, static_cast<std::uint32_t>(E_FAIL), 0);
}

void RaiseFor(const wchar_t* messageId, const SharedWString& input) {
    WStringList parameters(input);
    Raise(messageId, &parameters);
}

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool EndsWithSeparator(const SharedWString& text) {
    return text.GetAt(text.GetLength() - 1) == L'\\';
}

// prefix + items, each followed by a backslash except the last when lastBare.
SharedWString Join(const SharedWString& prefix, const WStringList& items, std::int32_t count, bool lastBare) {
    SharedWString out(prefix);
    for (std::int32_t i = 0; i < count; ++i) {
        out.Append(*items.ItemAt(i));
        if (!lastBare || i + 1 < count) out.Append(L"\\");
    }
    return out;
}

// False (with the error raised) when the disk holds the other kind at the path.
bool CheckKindConflict(std::int32_t wanted, const SharedWString& input, const SharedWString& path) {
    std::int32_t existing = StatPathKind(path);
    const wchar_t* messageId = nullptr;
    if (wanted == 1 && existing == 0) messageId = L"InvalidDirFileExist";
    if (wanted == 0 && existing == 1) messageId = L"InvalidFileDirExist";
    if (!messageId) return true;
    WStringList parameters(input, path);
    Raise(messageId, &parameters);
    return false;
}

bool HasForbiddenChar(const SharedWString& path) {
    for (std::int32_t i = 0; i < path.GetLength(); ++i) {
        switch (path.GetAt(i)) {
            case L'/': case L'*': case L'?': case L'"': case L'>': case L'<': case L'|':
                return true;
            case L':':
                if (i >= 2) return true;
                break;
            default:
                break;
        }
    }
    return false;
}

// The C runtime's stat fails on "X:\dir\" (it wants no trailing separator except at a root),
// so such a directory would read as absent.
SharedWString TrimForStat(const SharedWString& path) {
    std::int32_t end = path.GetLength();
    while (end > 0 && path.GetAt(end - 1) == L'\\') --end;
    if (end == path.GetLength() || end == 0) return path;
    bool driveRoot = end == 2 && path.GetAt(1) == L':';
    bool shareRoot = false;
    if (path.GetAt(0) == L'\\' && path.GetAt(1) == L'\\') {
        std::int32_t separators = 0;
        for (std::int32_t i = 2; i < end; ++i) separators += path.GetAt(i) == L'\\';
        shareRoot = separators <= 1;
    }
    return path.Mid(0, driveRoot || shareRoot ? end + 1 : end);
}

}  // namespace

ValidatedPath::ValidatedPath(const SharedWString& input, std::int32_t wantedKind, bool checkDisk)
    : kind(wantedKind), valid(false) {
    Parse(input, checkDisk);
}

void ValidatedPath::Parse(const SharedWString& input, bool checkDisk) {
    if (input.IsEmpty()) {
        Raise(L"EmptyPath", nullptr);
        return;
    }
    text = input;
    text.Replace(L'/', L'\\');
    const std::int32_t length = text.GetLength();

    // A NUL unit would cut the path short wherever it meets the platform.
    for (std::int32_t i = 0; i < length; ++i) {
        if (text.GetAt(i) == 0) {
            RaiseFor(L"InvalidPathFormat", input);
            return;
        }
    }

    WStringList elements;
    if (length >= 2 && text.GetAt(1) == L':' && (length == 2 || text.GetAt(2) == L'\\')) {
        if (!IsAsciiLetter(text.GetAt(0))) {
            RaiseFor(L"InvalidDiskPathFormat", input);
            return;
        }
        root = text.Mid(0, 2);
        root.Append(L"\\");
        text.Mid(3, length).Split(L"\\", elements);
    } else if (length > 4 && text.GetAt(0) == L'\\' && text.GetAt(1) == L'\\') {
        text.Mid(2, length).Split(L"\\", elements);
        SharedWString server, share;
        elements.GetAt(0, server);
        // "\\.\" and "\\?\" open the device namespace, not a share.
        if (server == SharedWString(L".") || server == SharedWString(L"?")) {
            RaiseFor(L"InvalidPathFormat", input);
            return;
        }
        elements.GetAt(1, share);
        // An empty server or share is no name: "\\\?\..." would become a device path once
        // its separators are collapsed.
        if (elements.GetCount() < 2 || server.IsEmpty() || share.IsEmpty()) {
            RaiseFor(L"InvalidUNCPathFormat", input);
            return;
        }
        elements.PopFront(server);
        elements.PopFront(share);
        root = L"\\\\";
        root.Append3(server, L"\\", share);
        root.Append(L"\\");
    } else {
        RaiseFor(L"InvalidPathFormat", input);
        return;
    }

    bool diskChecked = false;
    if (kind == 2) {
        SharedWString last;
        if (elements.IsEmpty() || (elements.GetAt(elements.GetCount() - 1, last) == S_OK && last.IsEmpty())) kind = 1;
        SharedWString lookedAt = Join(root, elements, elements.GetCount(), true);
        if (!CheckKindConflict(kind, input, lookedAt)) return;
        diskChecked = true;
    }

    if (kind == 0) {
        if (elements.IsEmpty()) {
            RaiseFor(L"RootIsNotAFile", input);
            return;
        }
        elements.PopBack(fileName);
        // "." and ".." name folders, never a file.
        if (fileName.IsEmpty() || fileName == SharedWString(L".") || fileName == SharedWString(L"..")) {
            RaiseFor(L"NotAFileName", input);
            return;
        }
    }

    WStringList::Iterator it(&elements);
    while (const SharedWString* element = it.Next()) {
        if (element->IsEmpty() || *element == SharedWString(L".")) continue;
        if (*element == SharedWString(L"..")) {
            SharedWString dropped;
            if (parts.PopBack(dropped) != S_OK) {
                RaiseFor(L"InvalidParentPath", input);
                return;
            }
            continue;
        }
        parts.Append(*element);
    }

    const SharedWString base = Join(root, parts, parts.GetCount(), true);
    if (kind == 0) {
        parentPath = base;
        fullPath = base;
        // The root already ends with a separator: "C:\" + "x.txt", not "C:\\x.txt".
        if (!EndsWithSeparator(fullPath)) fullPath.Append(L"\\");
        fullPath.Append(fileName);
        plainPath = fullPath;
    } else {
        parentPath = Join(root, parts, parts.GetCount() > 0 ? parts.GetCount() - 1 : 0, false);
        plainPath = base;
        fullPath = base;
        if (kind == 1 && !EndsWithSeparator(fullPath)) fullPath.Append(L"\\");
    }

    if (HasForbiddenChar(fullPath)) {
        RaiseFor(L"ForbiddenCharInPath", input);
        return;
    }
    if (checkDisk && !diskChecked && !CheckKindConflict(kind, input, plainPath)) return;
    valid = true;
}

std::int64_t GetValidatedFileSize(const SharedWString& path) {
    ValidatedPath checked(path, 0, false);
    if (!checked.valid) return -1;
    struct _stat64 info;
    // The plain stat's size is 32-bit and wraps past 2 GiB.
    if (_wstat64(checked.plainPath.c_str(), &info) != 0) return -1;
    return info.st_size;
}

std::int32_t StatPathKind(const SharedWString& path) {
    struct _stat64 info;
    if (_wstat64(TrimForStat(path).c_str(), &info) != 0) return 2;
    return (info.st_mode & _S_IFMT) == _S_IFDIR ? 1 : 0;
}
