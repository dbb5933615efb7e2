#pragma once
// A hash table from C-string keys to values whose copy and disposal a derived class decides.
// It is meant to be sized so that each slot holds one key: chains are kept sorted and every
// shared slot is reported on standard output. Results: 0 success, -1 failure; nothing throws.
// Copies of a table share its record. No locking: the owner serialises use.

#include "QORSysExport.h"

struct ZYNSysHashTableStruct;

struct ZYNSysHashTableEntryStruct {
    char* key;
    void* value;
    ZYNSysHashTableEntryStruct* next;
};

class QOR_SYS_API ZYNSysHashTable {
public:
    // No record when the slot count is below 1 (every operation then fails). A collision flag of
    // 0 keeps one key per slot: a second key for a slot is refused.
    ZYNSysHashTable(int slots = 512, int collisionFlag = -1);
    // Derived classes call Erase in their own destructor: the values can only be freed while
    // their ChildDeleteValue exists.
    virtual ~ZYNSysHashTable();

    // Stores a copy of the value under the key, replacing an existing value; the old value stays
    // when the copy fails.
    int Add(const char* key, const void* value);
    void* Get(const char* key);
    // Only for an existing key; the old value stays when the copy fails.
    int Replace(const char* key, const void* value);
    int Remove(const char* key);
    void Print();

protected:
    // Only a derived table of the same kind copies: tables of two kinds sharing one record would
    // free each other's values with the wrong ChildDeleteValue.
    ZYNSysHashTable(const ZYNSysHashTable& other);
    ZYNSysHashTable& operator=(const ZYNSysHashTable& other);

    virtual void* ChildCopyValue(const void* value) = 0;
    virtual void ChildDeleteValue(void* value) = 0;
    virtual int ChildCompareKeys(const char* a, const char* b) = 0;
    // djb2 over the key's bytes taken as signed values, wrapping at 32 bits.
    virtual unsigned long ChildHashFunction(const char* key) const;
    // Lets go of this object's share of the record; the last share frees the entries.
    void Erase();

private:
    friend class ZYNSysHashTableStr;

    int GetHashSlotIndex(const char* key) const;
    ZYNSysHashTableEntryStruct* GetPair(const char* key);
    ZYNSysHashTableEntryStruct* NewPair(const char* key, const void* value);
    void DelPair(ZYNSysHashTableEntryStruct* chain);
    int CreateTable(int slots, int collisionFlag);
    void DestroyTable();

    ZYNSysHashTableStruct* table_ = nullptr;
};

// Values are C strings, copied in and freed with free.
class QOR_SYS_API ZYNSysHashTableStr : public ZYNSysHashTable {
public:
    ZYNSysHashTableStr(int slots = 512, int collisionFlag = -1);
    ZYNSysHashTableStr(const ZYNSysHashTableStr& other);
    ZYNSysHashTableStr& operator=(const ZYNSysHashTableStr& other);
    ~ZYNSysHashTableStr() override;

protected:
    void* ChildCopyValue(const void* value) override;
    void ChildDeleteValue(void* value) override;
    // strcmp order; a NULL operand answers -1.
    int ChildCompareKeys(const char* a, const char* b) override;
};
