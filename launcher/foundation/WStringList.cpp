#include "WStringList.h"

#include <cstring>
#include <new>
#include <utility>

// A SharedWString is one block pointer, so the array may move its slots as raw bytes.
static_assert(sizeof(SharedWString) == 8, "a list slot holds one string handle");

WStringList::WStringList() : items_(sizeof(SharedWString)) {}

WStringList::WStringList(const SharedWString& first) : WStringList() {
    Append(first);
}

WStringList::WStringList(const SharedWString& first, const SharedWString& second) : WStringList() {
    Append(first);
    Append(second);
}

WStringList::~WStringList() {
    Clear();
    items_.Free();
}

HRESULT WStringList::GetAt(std::int32_t index, SharedWString& out) const {
    if (FAILED(items_.CheckIndex(index))) return E_FAIL;
    out = *Slot(index);
    return S_OK;
}

const SharedWString* WStringList::ItemAt(std::int32_t index) const {
    return SUCCEEDED(items_.CheckIndex(index)) ? Slot(index) : nullptr;
}

HRESULT WStringList::Insert(std::int32_t position, const SharedWString& text) {
    SharedWString copy(text);  // text may be an item that the insertion moves
    if (FAILED(items_.InsertAt(position, 1))) return E_FAIL;
    new (Slot(position)) SharedWString(std::move(copy));
    return S_OK;
}

HRESULT WStringList::PopFront(SharedWString& out) {
    std::int32_t count = GetCount();
    if (count == 0) return E_FAIL;
    SharedWString first(std::move(*Slot(0)));
    Slot(0)->~SharedWString();
    if (count > 1) items_.MoveElements(0, 1, count - 1);
    items_.SetCount(count - 1);
    out = std::move(first);
    return S_OK;
}

HRESULT WStringList::PopBack(SharedWString& out) {
    std::int32_t count = GetCount();
    if (count == 0) return E_FAIL;
    SharedWString last(std::move(*Slot(count - 1)));
    Slot(count - 1)->~SharedWString();
    items_.SetCount(count - 1);
    out = std::move(last);
    return S_OK;
}

void WStringList::Clear() {
    for (std::int32_t i = 0; i < GetCount(); ++i) Slot(i)->~SharedWString();
    items_.SetCount(0);
}

const SharedWString* WStringList::Iterator::Next() {
    if (AtEnd()) return nullptr;
    return list_->Slot(position_++);
}

bool WStringList::Iterator::AtEnd() const {
    return !list_ || position_ < 0 || position_ >= list_->GetCount();
}
