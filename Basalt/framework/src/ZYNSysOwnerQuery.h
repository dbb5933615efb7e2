#pragma once
// Reads who owns a file or kernel object. Tests install their own: Wine reports the current
// user as the owner of every file, so a foreign owner is seen only through this seam there.

#include "ZYNSysWin.h"

#include <accctrl.h>

class ZYNSysOwnerQuery {
public:
    virtual ~ZYNSysOwnerQuery() = default;
    // Copies the object's owner into owner (size bytes); false when it cannot be read or does
    // not fit.
    virtual bool Read(HANDLE object, SE_OBJECT_TYPE type, PSID owner, DWORD size) = 0;
};

// Installs a query for the whole process (null restores the real one); answers the one
// installed before (null: the real one).
ZYNSysOwnerQuery* ZYNSysSetOwnerQuery(ZYNSysOwnerQuery* query);
ZYNSysOwnerQuery& ZYNSysGetOwnerQuery();
