#include "ZYNSysList.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool IsCircular(ZYNSysList::ZYNSysListType type) {
    return type == ZYNSysList::ZYNSysListCircular || type == ZYNSysList::ZYNSysListSortedCircular;
}

bool IsSorted(ZYNSysList::ZYNSysListType type) {
    return type == ZYNSysList::ZYNSysListSorted1 || type == ZYNSysList::ZYNSysListSorted ||
           type == ZYNSysList::ZYNSysListSortedCircular;
}

}  // namespace

ZYNSysList::ZYNSysList(ZYNSysListType type, bool allowDuplicates) : type_(type), allowDuplicates_(allowDuplicates) {}

ZYNSysList::ZYNSysList(const ZYNSysList& other) : type_(other.type_), allowDuplicates_(other.allowDuplicates_) {}

ZYNSysList::~ZYNSysList() {
    // The items' owner is already gone: only the elements can be freed here.
    while (head_) {
        ZYNSysListElementStruct* next = head_->next;
        std::free(head_);
        head_ = next;
    }
}

ZYNSysList& ZYNSysList::operator=(const ZYNSysList& other) {
    if (this != &other) copylist(other);
    return *this;
}


void* ZYNSysList::Add(const void* item) {
    if (!item) return nullptr;
    ZYNSysListElementStruct* before = nullptr;  // NULL: append at the tail
    const bool walk = IsSorted(type_) || !allowDuplicates_;
    for (ZYNSysListElementStruct* e = walk ? head_ : nullptr; e; e = e->next) {
        if (!e->item) continue;
        const int c = ChildCompareItem(e->item, item);
        if (c == 0 && !allowDuplicates_) return nullptr;
        if (IsSorted(type_) && c < 0) {
            before = e;
            break;
        }
    }
    // A failed copy stores nothing: a NULL item would compare equal to everything in some lists.
    void* stored = ChildCopyItem(item);
    if (!stored) return nullptr;
    ZYNSysListElementStruct* added = before ? addbefore(before, stored) : addtail(stored);
    if (!added) ChildDeleteItem(stored);
    return added;
}

void ZYNSysList::Remove(const void* item) {
    if (!item) return;
    for (ZYNSysListElementStruct* e = head_; e; e = e->next) {
        if (ChildCompareItem(e->item, item) == 0) {
            removeat(e);
            return;
        }
    }
}

void ZYNSysList::Remove(unsigned long long index) {
    if (index >= count_) return;
    ZYNSysListElementStruct* e = head_;
    while (index--) e = e->next;
    removeat(e);
}

unsigned long long ZYNSysList::Count() const { return count_; }

void* ZYNSysList::GetFirst() {
    cursor_ = head_;
    return cursor_ ? cursor_->item : nullptr;
}

void* ZYNSysList::GetNext() {
    if (!cursor_) return nullptr;
    cursor_ = cursor_->next;
    if (!cursor_ && IsCircular(type_)) cursor_ = head_;
    return cursor_ ? cursor_->item : nullptr;
}

void* ZYNSysList::GetPrevious() {
    if (!cursor_) return nullptr;
    cursor_ = cursor_->previous;
    if (!cursor_ && IsCircular(type_)) cursor_ = tail_;
    return cursor_ ? cursor_->item : nullptr;
}

void* ZYNSysList::GetLast() {
    cursor_ = IsCircular(type_) ? head_ : tail_;
    return cursor_ ? cursor_->item : nullptr;
}

void* ZYNSysList::Head() const { return head_ ? head_->item : nullptr; }
void* ZYNSysList::Tail() const { return tail_ ? tail_->item : nullptr; }
void ZYNSysList::Erase() { removeall(); }

ZYNSysListElementStruct* ZYNSysList::head() const { return head_; }
ZYNSysListElementStruct* ZYNSysList::tail() const { return tail_; }

ZYNSysListElementStruct* ZYNSysList::addhead(void* item) { return head_ ? addbefore(head_, item) : addtail(item); }

ZYNSysListElementStruct* ZYNSysList::addtail(void* item) {
    if (tail_) return addafter(tail_, item);
    auto* e = static_cast<ZYNSysListElementStruct*>(std::malloc(sizeof(ZYNSysListElementStruct)));
    if (!e) return nullptr;
    *e = {item, nullptr, nullptr};
    head_ = tail_ = e;
    count_ = 1;
    return e;
}

ZYNSysListElementStruct* ZYNSysList::addbefore(ZYNSysListElementStruct* at, void* item) {
    auto* e = static_cast<ZYNSysListElementStruct*>(std::malloc(sizeof(ZYNSysListElementStruct)));
    if (!e) return nullptr;
    *e = {item, at, at->previous};
    if (at->previous) {
        at->previous->next = e;
    } else {
        head_ = e;
    }
    at->previous = e;
    ++count_;
    return e;
}

ZYNSysListElementStruct* ZYNSysList::addafter(ZYNSysListElementStruct* at, void* item) {
    auto* e = static_cast<ZYNSysListElementStruct*>(std::malloc(sizeof(ZYNSysListElementStruct)));
    if (!e) return nullptr;
    *e = {item, at->next, at};
    if (at->next) {
        at->next->previous = e;
    } else {
        tail_ = e;
    }
    at->next = e;
    ++count_;
    return e;
}

void ZYNSysList::removehead() {
    if (head_) removeat(head_);
}

void ZYNSysList::removetail() {
    if (tail_) removeat(tail_);
}

void ZYNSysList::removeat(ZYNSysListElementStruct* element) {
    if (!element) return;
    ChildDeleteItem(element->item);
    if (element->previous) {
        element->previous->next = element->next;
    } else {
        head_ = element->next;
    }
    if (element->next) {
        element->next->previous = element->previous;
    } else {
        tail_ = element->previous;
    }
    // The cursor never points at freed memory: a loop that removes its current item ends.
    if (cursor_ == element) cursor_ = nullptr;
    --count_;
    std::free(element);
}

void ZYNSysList::removeall() {
    while (tail_) removetail();
    head_ = tail_ = cursor_ = nullptr;
    count_ = 0;
}

void ZYNSysList::copylist(const ZYNSysList& other) {
    removeall();
    type_ = other.type_;
    allowDuplicates_ = other.allowDuplicates_;
    for (ZYNSysListElementStruct* e = other.head_; e; e = e->next) {
        void* stored = ChildCopyItem(e->item);
        if (!stored) continue;
        if (!addtail(stored)) ChildDeleteItem(stored);
    }
}

ZYNSysListPtr::ZYNSysListPtr(ZYNSysListType type, bool allowDuplicates) : ZYNSysList(type, allowDuplicates) {}

ZYNSysListPtr::ZYNSysListPtr(const ZYNSysListPtr& other) : ZYNSysList(other) { ZYNSysList::operator=(other); }

ZYNSysListPtr& ZYNSysListPtr::operator=(const ZYNSysListPtr& other) {
    ZYNSysList::operator=(other);
    return *this;
}

ZYNSysListPtr::~ZYNSysListPtr() { ZYNSysList::Erase(); }

void* ZYNSysListPtr::AddPtr(const void* item) {
    auto* e = static_cast<ZYNSysListElementStruct*>(ZYNSysList::Add(item));
    return e ? e->item : nullptr;
}

void ZYNSysListPtr::Erase() { ZYNSysList::Erase(); }
void ZYNSysListPtr::Reset() { ZYNSysList::Erase(); }

void* ZYNSysListPtr::ChildCopyItem(const void* item) const { return const_cast<void*>(item); }

void ZYNSysListPtr::ChildDeleteItem(void*) const {}

int ZYNSysListPtr::ChildCompareItem(const void* stored, const void* given) const {
    // The whole address: pointers that share their low halves are still different items.
    const auto a = reinterpret_cast<std::uintptr_t>(stored);
    const auto b = reinterpret_cast<std::uintptr_t>(given);
    return a < b ? -1 : (a > b ? 1 : 0);
}

ZYNSysListStr::ZYNSysListStr(ZYNSysListType type, bool allowDuplicates) : ZYNSysList(type, allowDuplicates) {}

ZYNSysListStr::ZYNSysListStr(const ZYNSysListStr& other) : ZYNSysList(other) { ZYNSysList::operator=(other); }

ZYNSysListStr& ZYNSysListStr::operator=(const ZYNSysListStr& other) {
    ZYNSysList::operator=(other);
    return *this;
}

ZYNSysListStr::~ZYNSysListStr() { ZYNSysList::Erase(); }

const char* ZYNSysListStr::Add(const char* item) {
    auto* e = static_cast<ZYNSysListElementStruct*>(ZYNSysList::Add(item));
    return e ? static_cast<const char*>(e->item) : nullptr;
}

const char* ZYNSysListStr::First() { return static_cast<const char*>(GetFirst()); }
const char* ZYNSysListStr::Next() { return static_cast<const char*>(GetNext()); }
void ZYNSysListStr::Reset() { ZYNSysList::Erase(); }

void* ZYNSysListStr::ChildCopyItem(const void* item) const {
    if (!item) return nullptr;
    const std::size_t size = std::strlen(static_cast<const char*>(item)) + 1;
    void* copy = std::malloc(size);
    if (copy) std::memcpy(copy, item, size);
    return copy;
}

void ZYNSysListStr::ChildDeleteItem(void* item) const { std::free(item); }

int ZYNSysListStr::ChildCompareItem(const void* stored, const void* given) const {
    if (!stored || !given) return 0;
    const int c = std::strcmp(static_cast<const char*>(given), static_cast<const char*>(stored));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}
