#pragma once
// What a context holds. The system fills none of it; lookups read it.

#include "ZYNSysContext.h"
#include "ZYNSysHashTable.h"
#include "ZYNSysList.h"
#include "ZYNSysTraceClient.h"

// Pointers kept in ascending order of their value, each once.
class ZYNSysContextPtrSet : public ZYNSysList {
public:
    ZYNSysContextPtrSet() : ZYNSysList(ZYNSysListSorted, false) {}
    ~ZYNSysContextPtrSet() override { Erase(); }

protected:
    void* ChildCopyItem(const void* item) const override { return const_cast<void*>(item); }
    void ChildDeleteItem(void*) const override {}
    int ChildCompareItem(const void* stored, const void* given) const override {
        return given < stored ? -1 : (stored < given ? 1 : 0);
    }
};

struct ZYNSysContextData {
    // Makes the "LifeCycle" trace client, which stays empty unless that name is declared.
    ZYNSysContextData();
    ~ZYNSysContextData();
    ZYNSysContextData(const ZYNSysContextData&) = delete;
    ZYNSysContextData& operator=(const ZYNSysContextData&) = delete;

    // Replaces array 0, 1 or 2 with copies of the NULL-terminated "name=value" entries; -1 when
    // memory ran out (the array is then empty).
    int SetArray(int which, const char* const* entries);
    // The hash table's value, else the value after the first "=" of the entry of arrays 2, 1
    // then 0 whose name is exactly name; NULL when none has it.
    const char* Lookup(const char* name);

    char** arrays[3] = {};
    ZYNSysHashTableStr variables{512, -1};
    ZYNSysListPtr records{ZYNSysList::ZYNSysListPlain, true};
    ZYNSysListStr strings{ZYNSysList::ZYNSysListPlain, true};
    ZYNSysContextPtrSet pointers;
    ZYNSysTraceClient* lifeCycle = nullptr;
};
