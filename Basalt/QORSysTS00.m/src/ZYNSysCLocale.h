#pragma once
// The C runtime's locale per thread, and a thread's own copy of its numeric and monetary
// conventions in UTF-16.

#include <clocale>
#include <cstddef>
#include <functional>
#include <memory>

class LConv {
public:
    // Decimal point, grouping, thousands separator, international currency symbol, currency
    // symbol, monetary decimal point, monetary thousands separator, monetary grouping, positive
    // and negative sign, then the one-character fields (fraction digits, international ones
    // first; symbol precedence and spacing for positive then negative values; the two sign
    // positions), then the six international-format ones this runtime does not have.
    static constexpr int kSlotCount = 24;
    static constexpr std::size_t kInlineUnits = 260;

    LConv();
    ~LConv();
    LConv(const LConv&) = delete;
    LConv& operator=(const LConv&) = delete;

    // Empties every slot and frees the ones on the heap.
    void Reset();
    // Copies text into the slot: the inline buffer while it has room, else the heap. False when
    // the slot is out of range or memory ran out (the slot is then empty).
    bool SetSlot(int slot, const wchar_t* text);
    // Null for an empty slot or one out of range.
    const wchar_t* GetSlot(int slot) const;
    bool IsOnHeap(int slot) const;
    std::size_t InlineUnitsUsed() const { return m_used; }

    // The runtime's conventions of a thread with its own locale; strings come from it on demand.
    void KeepConventions(const struct lconv* conventions) { m_conventions = conventions; }
    const struct lconv* GetConventions() const { return m_conventions; }

    void _ReInitDecimalPoint();
    // The stored decimal point, else the one of the kept conventions; "" when neither has one.
    const wchar_t* DecimalPoint();

private:
    wchar_t m_inline[kInlineUnits];
    const wchar_t* m_slots[kSlotCount];
    std::unique_ptr<wchar_t[]> m_heap[kSlotCount];
    std::size_t m_used = 0;
    const struct lconv* m_conventions = nullptr;
};

class ZYNSysCLocale {
public:
    // Switches the runtime's per-thread locale mode; switching on from the global mode gives
    // the thread the settings' C locale. The previous mode, or 0 when it already was so.
    static int SetPerThread(bool on);
    static void ThreadLC(LConv& conventions);
    // Runs a change of the runtime's global locale (setlocale, _setmbcp) while no thread copies
    // its conventions. Callers may hold the settings' lock; this lock is always taken after it.
    static void ChangeGlobal(const std::function<void()>& change);
};
