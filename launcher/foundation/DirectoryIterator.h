#pragma once
// Lists one folder's entries, skipping "." and "..", filtered by kind. Opening failures
// and an empty folder name are recorded on the calling thread's error stack.

#include <cstdint>

#include "SharedWString.h"
#include "ZYNSysKernelHandle.h"

class DirectoryIterator {
public:
    static constexpr std::uint32_t kDirectories = 1;
    static constexpr std::uint32_t kFiles = 2;

    DirectoryIterator(const SharedWString& directory, std::uint32_t kindMask);

    // 1 an entry is in the fields, 0 the listing is over, -1 an error.
    int Next();
    SharedWString GetName() const { return name; }

    std::uint32_t entryKind = 0;  // 1 directory, 2 anything else
    SharedWString name;
    // Whole seconds since 1970-01-01 UTC.
    std::int64_t creationTime = 0;
    std::int64_t accessTime = 0;
    std::int64_t writeTime = 0;
    std::uint32_t kindMask;
    SharedWString directory;

private:
    int Step();

    ZYNSysFindHandle search_;
};
