#pragma once
// Marks a file for deletion through its handle: SetFileInformationByHandle, unless a test
// installed another setter. Only through it is a file system that refuses a class seen on a
// system whose own file systems accept it.

#include "ZYNSysWin.h"

class ZYNSysFileDisposition {
public:
    virtual ~ZYNSysFileDisposition() = default;
    // SetFileInformationByHandle of the class and record: 0, or the Win32 code of its failure.
    virtual DWORD Set(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* record, DWORD size) = 0;
};

// Installs a setter for the whole process (null restores the real one); answers the one
// installed before (null: the real one).
ZYNSysFileDisposition* ZYNSysSetFileDisposition(ZYNSysFileDisposition* setter);
ZYNSysFileDisposition& ZYNSysGetFileDisposition();
