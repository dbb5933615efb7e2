#pragma once
// What a context holds. The system fills none of it; lookups read it.

#include "ZYNSysContext.h"

struct ZYNSysContextData {
    ZYNSysContextData() = default;
    ~ZYNSysContextData();
    ZYNSysContextData(const ZYNSysContextData&) = delete;
    ZYNSysContextData& operator=(const ZYNSysContextData&) = delete;

    // Replaces array 0, 1 or 2 with copies of the NULL-terminated "name=value" entries; -1 when
    // memory ran out (the array is then empty).
    int SetArray(int which, const char* const* entries);
    // The value after the first "=" of the entry whose name is exactly name, or NULL.
    const char* Lookup(const char* name) const;

    char** arrays[3] = {};
};
