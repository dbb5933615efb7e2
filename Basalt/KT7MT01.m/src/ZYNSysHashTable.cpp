#include "ZYNSysHashTable.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ZYNSysShared.h"

struct ZYNSysHashTableStruct : ZYNSysSharedRecord {
    int collisionFlag = 0;
    int slotCount = 0;
    ZYNSysHashTableEntryStruct** heads = nullptr;
    // Set by the string-valued subclass: only then are values printed as text.
    bool valuesAreText = false;
};

namespace {

// The diagnostics name this file and its historic line numbers, whatever machine built it.
constexpr const char kSourcePath[] = "Basalt\\KT7MT01.m\\src\\ZYNSysHashTable.cpp";
constexpr int kLineCollision = 102;
constexpr int kLineRemoved = 194;
constexpr int kLinePrintHeader = 255;
constexpr int kLinePrintSlot = 259;
constexpr int kLinePrintKey = 264;
constexpr int kLinePrintFooter = 268;
constexpr int kLineCollisionSlot = 422;
constexpr int kLinePassed = 490;

// One diagnostic line on standard output, flushed so that it survives a crash that follows.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Diagnostic(int line, const char* format, ...) {
    std::printf("%s(%8d) : ", kSourcePath, line);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

// Values are printed as text only where they are known to be C strings.
void PrintPair(int line, const ZYNSysHashTableStruct* table, const ZYNSysHashTableEntryStruct* entry) {
    if (table->valuesAreText) {
        const char* text = static_cast<const char*>(entry->value);
        Diagnostic(line, "Duplicated pair '%s' == '%s'", entry->key, text ? text : "(null)");
    } else {
        Diagnostic(line, "Duplicated pair '%s' == '%p'", entry->key, entry->value);
    }
}

char* DuplicateKey(const char* key) {
    const std::size_t size = std::strlen(key) + 1;
    auto* copy = static_cast<char*>(std::malloc(size));
    if (copy) std::memcpy(copy, key, size);
    return copy;
}

}  // namespace

ZYNSysHashTable::ZYNSysHashTable(int slots, int collisionFlag) { CreateTable(slots, collisionFlag); }

ZYNSysHashTable::ZYNSysHashTable(const ZYNSysHashTable& other) : table_(ZYNSysShareRecord(other.table_)) {}

ZYNSysHashTable& ZYNSysHashTable::operator=(const ZYNSysHashTable& other) {
    if (table_ != other.table_) {
        ZYNSysHashTableStruct* theirs = ZYNSysShareRecord(other.table_);
        Erase();
        table_ = theirs;
    }
    return *this;
}

ZYNSysHashTable::~ZYNSysHashTable() {
    // Reached with a record only when a derived class did not erase: its values cannot be freed
    // any more, the keys and entries can.
    if (!table_ || !table_->Unshare()) return;
    for (int slot = table_->slotCount - 1; slot >= 0; --slot) {
        for (ZYNSysHashTableEntryStruct* e = table_->heads[slot]; e;) {
            ZYNSysHashTableEntryStruct* next = e->next;
            std::free(e->key);
            std::free(e);
            e = next;
        }
    }
    std::free(table_->heads);
    delete table_;
    table_ = nullptr;
}

int ZYNSysHashTable::Add(const char* key, const void* value) {
    if (!table_ || !key || !value) return -1;
    const int slot = GetHashSlotIndex(key);
    ZYNSysHashTableEntryStruct* previous = nullptr;
    ZYNSysHashTableEntryStruct* e = table_->heads[slot];
    while (e && std::strcmp(key, e->key) > 0) {
        previous = e;
        e = e->next;
    }
    if (e && std::strcmp(key, e->key) == 0) {
        // Copy first: a failed copy keeps the old value.
        void* copy = ChildCopyValue(value);
        if (!copy) return -1;
        ChildDeleteValue(e->value);
        e->value = copy;
        return 0;
    }
    if (table_->collisionFlag == 0 && table_->heads[slot]) return -1;
    ZYNSysHashTableEntryStruct* entry = NewPair(key, value);
    if (!entry) return -1;
    if (!previous) {
        entry->next = table_->heads[slot];
        table_->heads[slot] = entry;
        return 0;
    }
    Diagnostic(kLineCollision, "Collision @ %d ('%s' <--> '%s')", slot, previous->key, key);
    entry->next = previous->next;
    previous->next = entry;
    return 0;
}

void* ZYNSysHashTable::Get(const char* key) {
    ZYNSysHashTableEntryStruct* e = GetPair(key);
    return e ? e->value : nullptr;
}

int ZYNSysHashTable::Replace(const char* key, const void* value) {
    if (!value) return -1;
    ZYNSysHashTableEntryStruct* e = GetPair(key);
    if (!e) return -1;
    void* copy = ChildCopyValue(value);
    if (!copy) return -1;
    ChildDeleteValue(e->value);
    e->value = copy;
    return 0;
}

int ZYNSysHashTable::Remove(const char* key) {
    if (!table_ || !key) return -1;
    const int slot = GetHashSlotIndex(key);
    ZYNSysHashTableEntryStruct** link = &table_->heads[slot];
    for (ZYNSysHashTableEntryStruct* e = *link; e; link = &e->next, e = e->next) {
        if (std::strcmp(e->key, key) != 0) continue;
        PrintPair(kLineRemoved, table_, e);
        *link = e->next;
        std::free(e->key);
        ChildDeleteValue(e->value);
        std::free(e);
        return 0;
    }
    return -1;
}

void ZYNSysHashTable::Print() {
    if (!table_) return;
    Diagnostic(kLinePrintHeader, "==========================================");
    for (int slot = 0; slot < table_->slotCount; ++slot) {
        Diagnostic(kLinePrintSlot, "Slot [%d]", slot);
        for (const ZYNSysHashTableEntryStruct* e = table_->heads[slot]; e; e = e->next) {
            Diagnostic(kLinePrintKey, "Key '%s' (%p)", e->key, e->value);
        }
    }
    Diagnostic(kLinePrintFooter, "------------------------------------------");
}

unsigned long ZYNSysHashTable::ChildHashFunction(const char* key) const {
    std::uint32_t h = 5381;
    for (const char* p = key; *p; ++p) {
        h = h * 33u + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(*p)));
    }
    return h;
}

void ZYNSysHashTable::Erase() {
    if (!table_) return;
    if (table_->Unshare()) {
        DestroyTable();
    } else {
        table_ = nullptr;
    }
}

int ZYNSysHashTable::GetHashSlotIndex(const char* key) const {
    if (!table_ || !key) return -1;
    return static_cast<int>(ChildHashFunction(key) % static_cast<unsigned long>(table_->slotCount));
}

ZYNSysHashTableEntryStruct* ZYNSysHashTable::GetPair(const char* key) {
    const int slot = GetHashSlotIndex(key);
    if (slot < 0) return nullptr;
    for (ZYNSysHashTableEntryStruct* e = table_->heads[slot]; e && e->key; e = e->next) {
        if (std::strcmp(e->key, key) == 0) return e;
        PrintPair(kLinePassed, table_, e);
    }
    return nullptr;
}

ZYNSysHashTableEntryStruct* ZYNSysHashTable::NewPair(const char* key, const void* value) {
    if (!key || !value) return nullptr;
    auto* entry = static_cast<ZYNSysHashTableEntryStruct*>(std::malloc(sizeof(ZYNSysHashTableEntryStruct)));
    if (!entry) return nullptr;
    entry->key = DuplicateKey(key);
    entry->value = entry->key ? ChildCopyValue(value) : nullptr;
    entry->next = nullptr;
    if (!entry->value) {
        std::free(entry->key);
        std::free(entry);
        return nullptr;
    }
    return entry;
}

void ZYNSysHashTable::DelPair(ZYNSysHashTableEntryStruct* chain) {
    if (chain && chain->next) Diagnostic(kLineCollisionSlot, "!! Collision slot for key '%s' !!", chain->key);
    while (chain) {
        ZYNSysHashTableEntryStruct* next = chain->next;
        std::free(chain->key);
        ChildDeleteValue(chain->value);
        std::free(chain);
        chain = next;
    }
}

int ZYNSysHashTable::CreateTable(int slots, int collisionFlag) {
    if (slots < 1) return -1;
    auto* table = new (std::nothrow) ZYNSysHashTableStruct;
    if (!table) return -1;
    table->heads = static_cast<ZYNSysHashTableEntryStruct**>(std::calloc(static_cast<std::size_t>(slots),
                                                                          sizeof(ZYNSysHashTableEntryStruct*)));
    if (!table->heads) {
        delete table;
        return -1;
    }
    table->slotCount = slots;
    table->collisionFlag = collisionFlag;
    table_ = table;
    return 0;
}

void ZYNSysHashTable::DestroyTable() {
    if (!table_) return;
    for (int slot = table_->slotCount - 1; slot >= 0; --slot) DelPair(table_->heads[slot]);
    std::free(table_->heads);
    delete table_;
    table_ = nullptr;
}

ZYNSysHashTableStr::ZYNSysHashTableStr(int slots, int collisionFlag) : ZYNSysHashTable(slots, collisionFlag) {
    if (table_) table_->valuesAreText = true;
}

ZYNSysHashTableStr::ZYNSysHashTableStr(const ZYNSysHashTableStr& other) : ZYNSysHashTable(other) {}

ZYNSysHashTableStr& ZYNSysHashTableStr::operator=(const ZYNSysHashTableStr& other) {
    ZYNSysHashTable::operator=(other);
    return *this;
}

ZYNSysHashTableStr::~ZYNSysHashTableStr() { Erase(); }

void* ZYNSysHashTableStr::ChildCopyValue(const void* value) {
    if (!value) return nullptr;
    const std::size_t size = std::strlen(static_cast<const char*>(value)) + 1;
    void* copy = std::malloc(size);
    if (copy) std::memcpy(copy, value, size);
    return copy;
}

void ZYNSysHashTableStr::ChildDeleteValue(void* value) { std::free(value); }

int ZYNSysHashTableStr::ChildCompareKeys(const char* a, const char* b) {
    if (!a || !b) return -1;
    return std::strcmp(a, b);
}
