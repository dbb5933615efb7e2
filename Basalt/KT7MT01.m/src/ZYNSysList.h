#pragma once
// A doubly linked list of untyped items with one built-in cursor. Derived classes decide what an
// item is: how it is copied in, freed and compared. No locking: the owner serialises use,
// iteration included, since the cursor is shared.

#include "QORSysExport.h"

struct ZYNSysListElementStruct {
    void* item;  // first field: Add answers the element, which callers read as the item
    ZYNSysListElementStruct* next;
    ZYNSysListElementStruct* previous;
};

class QOR_SYS_API ZYNSysList {
public:
    enum ZYNSysListType {
        ZYNSysListSorted1 = 1,
        ZYNSysListPlain = 2,
        ZYNSysListSorted = 3,
        ZYNSysListCircular = 4,
        ZYNSysListSortedCircular = 5,
    };

    ZYNSysList(ZYNSysListType type = ZYNSysListPlain, bool allowDuplicates = true);
    // Frees what is left of the chain; derived classes empty the list first, since their
    // ChildDeleteItem is gone by the time this runs.
    virtual ~ZYNSysList();

    // Stores a copy of a non-NULL item; answers its element, or NULL when nothing was stored
    // (NULL item, refused duplicate, failed copy or allocation).
    void* Add(const void* item);
    // The first element whose item compares equal; nothing for a NULL item.
    void Remove(const void* item);
    // The element at that position (0 = head); nothing out of range.
    void Remove(unsigned long long index);
    unsigned long long Count() const;

    // Cursor movement. Circular types wrap at either end; without a cursor (before the first
    // GetFirst, after the end, after its element was removed) GetNext and GetPrevious answer NULL.
    void* GetFirst();
    void* GetNext();
    void* GetPrevious();
    void* GetLast();
    void* Head() const;
    void* Tail() const;
    void Erase();

protected:
    // Copies the type only: the items are copied by the derived copy constructor, once its own
    // ChildCopyItem is in place.
    ZYNSysList(const ZYNSysList& other);
    // Empties this list, then appends a copy of each of the other's items; a list assigned to
    // itself keeps its items. Only a derived list of the same kind assigns: through base
    // references one kind's items would land in another's list.
    ZYNSysList& operator=(const ZYNSysList& other);

    virtual void* ChildCopyItem(const void* item) const = 0;
    virtual void ChildDeleteItem(void* item) const = 0;
    // Stored item first, the given one second; 0 means equal.
    virtual int ChildCompareItem(const void* stored, const void* given) const = 0;

private:
    ZYNSysListElementStruct* head() const;
    ZYNSysListElementStruct* tail() const;
    ZYNSysListElementStruct* addhead(void* item);
    ZYNSysListElementStruct* addtail(void* item);
    ZYNSysListElementStruct* addbefore(ZYNSysListElementStruct* at, void* item);
    ZYNSysListElementStruct* addafter(ZYNSysListElementStruct* at, void* item);
    void removehead();
    void removetail();
    void removeat(ZYNSysListElementStruct* element);
    void removeall();
    void copylist(const ZYNSysList& other);

    ZYNSysListElementStruct* head_ = nullptr;
    ZYNSysListElementStruct* tail_ = nullptr;
    unsigned long long count_ = 0;
    ZYNSysListElementStruct* cursor_ = nullptr;
    ZYNSysListType type_;
    bool allowDuplicates_;
};

// Raw pointers, compared by address (a sorted list is in descending address order).
class QOR_SYS_API ZYNSysListPtr : public ZYNSysList {
public:
    ZYNSysListPtr(ZYNSysListType type = ZYNSysListPlain, bool allowDuplicates = true);
    ZYNSysListPtr(const ZYNSysListPtr& other);
    ZYNSysListPtr& operator=(const ZYNSysListPtr& other);
    ~ZYNSysListPtr() override;

    // The stored pointer, or NULL when refused.
    void* AddPtr(const void* item);
    void Erase();
    void Reset();

protected:
    void* ChildCopyItem(const void* item) const override;
    void ChildDeleteItem(void* item) const override;
    int ChildCompareItem(const void* stored, const void* given) const override;
};

// Own copies of C strings; by default sorted in ascending byte order without duplicates.
class QOR_SYS_API ZYNSysListStr : public ZYNSysList {
public:
    ZYNSysListStr(ZYNSysListType type = ZYNSysListSorted, bool allowDuplicates = false);
    ZYNSysListStr(const ZYNSysListStr& other);
    ZYNSysListStr& operator=(const ZYNSysListStr& other);
    ~ZYNSysListStr() override;

    // The stored copy, or NULL when refused or when the copy could not be made.
    const char* Add(const char* item);
    const char* First();
    const char* Next();
    void Reset();

protected:
    void* ChildCopyItem(const void* item) const override;
    void ChildDeleteItem(void* item) const override;
    int ChildCompareItem(const void* stored, const void* given) const override;
};
