#include "ZYNSysCLocale.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <locale.h>
#include <string>

#include "QORResourceLock.h"
#include "ZYNSysNLS.h"
#include "ZYNSysWin.h"

namespace {

// The runtime's conventions are shared by every thread without a locale of its own.
QORResourceLock& ConventionsLock() {
    static QORResourceLock lock(1);
    return lock;
}

class ConventionsWriteGuard {
public:
    ConventionsWriteGuard() { ConventionsLock().WriteLock(); }
    ~ConventionsWriteGuard() { ConventionsLock().WriteUnlock(); }
    ConventionsWriteGuard(const ConventionsWriteGuard&) = delete;
    ConventionsWriteGuard& operator=(const ConventionsWriteGuard&) = delete;
};

// Narrow text of the runtime's current locale in UTF-16; false when it cannot be converted.
bool SetNarrow(LConv& conventions, int slot, const char* text) {
    if (!text || !*text) return conventions.SetSlot(slot, L"");
    wchar_t wide[LConv::kInlineUnits];
    const int units =
        ::MultiByteToWideChar(___lc_codepage_func(), 0, text, -1, wide, static_cast<int>(LConv::kInlineUnits));
    if (units <= 0) {
        // Control bytes such as the grouping sizes are kept unit for unit.
        std::size_t i = 0;
        for (; text[i] && i + 1 < LConv::kInlineUnits; ++i) wide[i] = static_cast<unsigned char>(text[i]);
        wide[i] = L'\0';
    }
    return conventions.SetSlot(slot, wide);
}

void SetCharacter(LConv& conventions, int slot, char value) {
    const wchar_t one[2] = {static_cast<wchar_t>(static_cast<unsigned char>(value)), L'\0'};
    conventions.SetSlot(slot, one);
}

void CopyConventions(LConv& target, const struct lconv* source) {
    if (!source) return;
    const char* strings[] = {source->decimal_point,     source->grouping,          source->thousands_sep,
                             source->int_curr_symbol,   source->currency_symbol,   source->mon_decimal_point,
                             source->mon_thousands_sep, source->mon_grouping,      source->positive_sign,
                             source->negative_sign};
    int slot = 0;
    for (const char* text : strings) SetNarrow(target, slot++, text);
    const char characters[] = {source->int_frac_digits, source->frac_digits,    source->p_cs_precedes,
                               source->p_sep_by_space,  source->n_cs_precedes,  source->n_sep_by_space,
                               source->p_sign_posn,     source->n_sign_posn};
    for (char value : characters) SetCharacter(target, slot++, value);
}

}  // namespace

LConv::LConv() {
    m_inline[0] = L'\0';
    for (const wchar_t*& slot : m_slots) slot = nullptr;
}

LConv::~LConv() = default;

void LConv::Reset() {
    for (int i = 0; i < kSlotCount; ++i) {
        m_slots[i] = nullptr;
        m_heap[i].reset();
    }
    m_used = 0;
    m_conventions = nullptr;
}

bool LConv::SetSlot(int slot, const wchar_t* text) {
    if (slot < 0 || slot >= kSlotCount) return false;
    m_heap[slot].reset();
    m_slots[slot] = nullptr;
    if (!text) return true;
    const std::size_t units = std::wcslen(text) + 1;
    if (units <= kInlineUnits - m_used) {
        wchar_t* place = m_inline + m_used;
        std::wmemcpy(place, text, units);
        m_used += units;
        m_slots[slot] = place;
        return true;
    }
    m_heap[slot].reset(new (std::nothrow) wchar_t[units]);
    if (!m_heap[slot]) return false;
    std::wmemcpy(m_heap[slot].get(), text, units);
    m_slots[slot] = m_heap[slot].get();
    return true;
}

const wchar_t* LConv::GetSlot(int slot) const {
    if (slot < 0 || slot >= kSlotCount) return nullptr;
    return m_slots[slot];
}

bool LConv::IsOnHeap(int slot) const { return slot >= 0 && slot < kSlotCount && m_heap[slot] != nullptr; }

void LConv::_ReInitDecimalPoint() {
    if (m_conventions && m_conventions->decimal_point && *m_conventions->decimal_point)
        SetNarrow(*this, 0, m_conventions->decimal_point);
    if (m_slots[0] && *m_slots[0]) return;
    ZYNSysNLS::Trace(stderr, "[LConv::_ReInitDecimalPoint][WARNING] Failed to retrieve the decimal point from localeconv!\n");
    if (m_used + 2 > kInlineUnits) return;
    char formatted[16] = {};
    std::snprintf(formatted, sizeof formatted, "%3.1f", 0.0);
    const wchar_t point[2] = {formatted[0] && formatted[1] ? static_cast<wchar_t>(static_cast<unsigned char>(formatted[1])) : L'.',
                              L'\0'};
    SetSlot(0, point);
}

const wchar_t* LConv::DecimalPoint() {
    if (m_slots[0] && *m_slots[0]) return m_slots[0];
    if (m_conventions) _ReInitDecimalPoint();
    return m_slots[0] ? m_slots[0] : L"";
}

int ZYNSysCLocale::SetPerThread(bool on) {
    const int wanted = on ? _ENABLE_PER_THREAD_LOCALE : _DISABLE_PER_THREAD_LOCALE;
    if (_configthreadlocale(0) == wanted) return 0;
    const int previous = _configthreadlocale(wanted);
    if (on && previous == _DISABLE_PER_THREAD_LOCALE) {
        const std::string name = ZYNSysNLS::FullLocaleName();
        if (!name.empty()) std::setlocale(LC_ALL, name.c_str());
    }
    return previous;
}

void ZYNSysCLocale::ThreadLC(LConv& conventions) {
    conventions.Reset();
    const bool perThread = _configthreadlocale(0) == _ENABLE_PER_THREAD_LOCALE;
    if (perThread) {
        conventions.KeepConventions(std::localeconv());
        return;
    }
    ZYNSysNLS::Trace(stdout,
                     "[ZYNSysCLocale::ThreadLC][WARNING] MT-unsafe environment! GetLCConv is taking a global lock - "
                     "Locale per-thread: %s | MT-safe localeconv: %s\n",
                     perThread ? "true" : "false", "false");
    ConventionsWriteGuard guard;
    CopyConventions(conventions, std::localeconv());
}

void ZYNSysCLocale::ChangeGlobal(const std::function<void()>& change) {
    ConventionsWriteGuard guard;
    change();
}
