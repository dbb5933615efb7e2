#pragma once
// The record behind copies of a framework handle. Each handle holds one count; the handle that
// lets go of the last count deletes the record, so copies never free it twice and assigning
// over a handle never leaks its old record.

#include <atomic>

class ZYNSysSharedRecord {
public:
    ZYNSysSharedRecord(const ZYNSysSharedRecord&) = delete;
    ZYNSysSharedRecord& operator=(const ZYNSysSharedRecord&) = delete;

    void Share() noexcept { holders_.fetch_add(1, std::memory_order_relaxed); }
    // True for the last holder.
    bool Unshare() noexcept { return holders_.fetch_sub(1, std::memory_order_acq_rel) == 1; }

protected:
    constexpr ZYNSysSharedRecord() noexcept = default;
    // A record that lives in static storage starts with a holder of its own and is never deleted.
    constexpr explicit ZYNSysSharedRecord(long holders) noexcept : holders_(holders) {}
    ~ZYNSysSharedRecord() = default;

private:
    std::atomic<long> holders_{1};
};

// Gives up the handle's count; the last holder deletes the record (through its virtual
// destructor where it has one).
template <typename Record>
void ZYNSysReleaseRecord(Record*& record) noexcept {
    Record* old = record;
    record = nullptr;
    if (old && old->Unshare()) delete old;
}

// The copy of another handle's record, with a count of its own.
template <typename Record>
Record* ZYNSysShareRecord(Record* record) noexcept {
    if (record) record->Share();
    return record;
}

// Assignment: shares first, so that assigning a handle to itself keeps its record.
template <typename Record>
void ZYNSysAssignRecord(Record*& mine, Record* theirs) noexcept {
    Record* next = ZYNSysShareRecord(theirs);
    ZYNSysReleaseRecord(mine);
    mine = next;
}
