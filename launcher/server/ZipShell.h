#pragma once
// The shell's zip folder, which extracts archives for Unzip. The real one is the Windows
// shell; tests install their own, since Wine has none that opens an archive.

#include <memory>
#include <string>

#include "Seam.h"

// One copy the shell started: what it opened stays alive with this object, because the copy
// may go on after the call that started it has returned.
class ZipCopy {
public:
    virtual ~ZipCopy() = default;
    // The archive's top-level items: what the target folder holds once the copy is done.
    virtual long ItemCount() const = 0;
};

class ZipShell {
public:
    virtual ~ZipShell() = default;
    // Starts copying the archive's items into the folder, on a thread inside a COM apartment.
    // Null after logging the step that failed.
    virtual std::unique_ptr<ZipCopy> StartCopy(const std::wstring& zip, const std::wstring& target) = 0;
};

// Installs a shell for the whole process (null restores the real one); answers the one
// installed before.
ZipShell* SetZipShell(ZipShell* shell);
ZipShell& GetZipShell();
using ScopedZipShell = ScopedSeam<ZipShell, &SetZipShell>;
