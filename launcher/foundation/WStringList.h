#pragma once
// A list of SharedWString held by value in a growable array of string handles.

#include <cstdint>

#include "SharedWString.h"
#include "ZYNSysGrowArray.h"

class WStringList {
public:
    WStringList();
    explicit WStringList(const SharedWString& first);
    WStringList(const SharedWString& first, const SharedWString& second);
    virtual ~WStringList();
    WStringList(const WStringList&) = delete;
    WStringList& operator=(const WStringList&) = delete;

    std::int32_t GetCount() const { return items_.GetCount(); }
    bool IsEmpty() const { return GetCount() == 0; }
    HRESULT GetAt(std::int32_t index, SharedWString& out) const;
    // The item's slot, or null outside the list.
    const SharedWString* ItemAt(std::int32_t index) const;
    HRESULT Insert(std::int32_t position, const SharedWString& text);
    HRESULT Append(const SharedWString& text) { return Insert(GetCount(), text); }
    HRESULT PopFront(SharedWString& out);
    HRESULT PopBack(SharedWString& out);
    // Releases every item; the capacity stays.
    void Clear();

    class Iterator {
    public:
        explicit Iterator(const WStringList* list) : list_(list), position_(list && !list->IsEmpty() ? 0 : -1) {}
        // The current item, then one step on; null at the end.
        const SharedWString* Next();
        bool AtEnd() const;

    private:
        const WStringList* list_;
        std::int32_t position_;
    };

private:
    SharedWString* Slot(std::int32_t index) const { return static_cast<SharedWString*>(items_.At(index)); }

    ZYNSysGrowArray items_;
};
