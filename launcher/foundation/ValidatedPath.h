#pragma once
// A wide Windows path parsed into root, folded parts and file name, checked against
// forbidden characters and optionally against the disk. Each problem is pushed on the
// calling thread's error stack under the catalog "ZYNInsControler".

#include <cstdint>

#include "SharedWString.h"
#include "WStringList.h"

class ValidatedPath {
public:
    // wantedKind: 0 file, 1 directory, 2 decide from the text (a trailing separator means
    // a directory).
    ValidatedPath(const SharedWString& input, std::int32_t wantedKind, bool checkDisk);
    virtual ~ValidatedPath() = default;

    SharedWString text;        // the input with slashes turned into backslashes
    SharedWString root;        // "X:\" or "\\server\share\"
    WStringList parts;         // folder names after folding "." and ".."
    SharedWString fileName;    // the last element, when a file is wanted
    SharedWString fullPath;    // a directory's with a trailing backslash
    SharedWString plainPath;   // without a trailing backslash
    SharedWString parentPath;  // the folder holding the last element
    std::int32_t kind;
    bool valid;

private:
    void Parse(const SharedWString& input, bool checkDisk);
};

// The size of the file, or -1 when the path is invalid or the file cannot be read.
std::int64_t GetValidatedFileSize(const SharedWString& path);
// 0 a file (or anything not a directory), 1 a directory, 2 absent.
std::int32_t StatPathKind(const SharedWString& path);
